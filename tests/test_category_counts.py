"""BaseRedisClient.increment_category_counts on a real server and a real cluster."""

import pytest

from support.redis_servers import unique
from veltrano_python_configuration.cache_access import BaseRedisClient


def key_of(op):
    return f"Mod:RetagOperations:{op}:category_counts"


class RecordingPipeline:
    def __init__(self, calls):
        self.calls = calls

    def hincrby(self, *args, **kwargs):
        self.calls.append(("hincrby", args, kwargs))

    def expire(self, *args, **kwargs):
        self.calls.append(("expire", args, kwargs))

    def execute(self, *args, **kwargs):
        self.calls.append(("execute", args, kwargs))
        return ["ignored"]


class RecordingConnection:
    def __init__(self):
        self.calls = []

    def pipeline(self, *args, **kwargs):
        self.calls.append(("pipeline", args, kwargs))
        return RecordingPipeline(self.calls)


class Recorded(BaseRedisClient):
    def connect(self):
        return RecordingConnection()


class Entry:
    """A category entry that is not a dict: read only through `get`."""

    def __init__(self, **fields):
        self.fields = fields

    def get(self, name, default=None):
        return self.fields.get(name, default)


BATCH = [
    {
        "id": 1,
        "name": "ignored",
        "subCategories": [
            {"id": 10, "subSubCategories": [{"id": 100}, {"id": "101"}]},
            {"id": 1},
        ],
    },
    {"subCategories": ({"id": 20, "subSubCategories": []},)},
    {"id": "5", "subCategories": []},
    Entry(id=5, subCategories=iter([Entry(id=50, subSubCategories=(x for x in [Entry(id=500)]))])),
]
WALK = ["1", "10", "100", "101", "1", "None", "20", "5", "5", "50", "500"]


def test_pipeline_calls_in_order_with_expiry_last():
    client = Recorded("u", None)
    assert client.increment_category_counts("op-17", BATCH) is None
    key = key_of("op-17")
    assert client.client.calls == (
        [("pipeline", (), {})]
        + [("hincrby", (key, field, 1), {}) for field in WALK]
        + [("expire", (key, 10800), {}), ("execute", (), {})]
    )
    client.client.calls.clear()
    client.increment_category_counts("op-17", [])
    assert client.client.calls == [("pipeline", (), {}), ("expire", (key, 10800), {}), ("execute", (), {})]


class Code(int):
    def __str__(self):
        return "code"


def test_ids_become_their_str_text():
    ids = [5, 5 + 4096, 5, -1, -1 - 4096, 2**70, -(2**63), True, 3.5, Code(5), 5, None, "5"]
    client = Recorded("u", None)
    client.increment_category_counts("op", [{"id": i} for i in ids])
    assert [c[1][1] for c in client.client.calls if c[0] == "hincrby"] == [str(i) for i in ids]


def test_counts_and_expiry_on_the_server(live):
    op = unique("op")
    live.client.increment_category_counts(op, BATCH[:3])
    assert 10790 < live.reader.ttl(key_of(op)) <= 10800  # the first call already leaves an expiry
    live.client.increment_category_counts(op, [{"id": 1, "subCategories": [{"id": 30}]}])
    live.reader.expire(key_of(op), 50)
    live.client.increment_category_counts(op, [{"id": 30}])
    assert 10790 < live.reader.ttl(key_of(op)) <= 10800
    assert live.reader.hgetall(key_of(op)) == {
        "1": "3",
        "10": "1",
        "100": "1",
        "101": "1",
        "None": "1",
        "20": "1",
        "5": "1",
        "30": "2",
    }
    assert live.logger.errors == []


@pytest.mark.parametrize("op", ["with:colons", "with spaces", ""])
def test_operation_id_goes_into_the_key_unchanged(live, op):
    op = op + unique("")
    live.client.increment_category_counts(op, [{"id": "x"}])
    assert live.reader.hgetall(key_of(op)) == {"x": "1"}


@pytest.mark.parametrize(
    "bad_entry, exc_type",
    [
        ("not a dict", AttributeError),
        ({"id": 2, "subCategories": None}, TypeError),
        ({"id": 2, "subCategories": [{"id": 3, "subSubCategories": 5}]}, TypeError),
        ({"id": 2, "subCategories": [{"id": 3, "subSubCategories": [{"id": Entry}]}, {"id": object()}]}, None),
    ],
)
def test_a_failure_part_way_sends_nothing(live, bad_entry, exc_type):
    op = unique("op")
    live.client.increment_category_counts(op, [{"id": "seed"}])
    live.reader.expire(key_of(op), 100)
    before = live.reader.hgetall(key_of(op))
    batch = [{"id": "seed"}, bad_entry] if exc_type else [{"id": "seed"}, bad_entry, "not a dict"]
    assert live.client.increment_category_counts(op, batch) is None
    assert live.reader.hgetall(key_of(op)) == before == {"seed": "1"}
    assert live.reader.ttl(key_of(op)) <= 100
    [exc] = live.logger.handled
    assert isinstance(exc, exc_type or AttributeError)
    assert live.logger.errors == [f"Error incrementing category counts for operation '{op}': {exc}"]


def test_an_id_whose_text_fails_is_a_logged_failure():
    class BadText:
        def __str__(self):
            raise ValueError("no text")

    logged = []
    client = Recorded("u", type("L", (), {"error": lambda self, m: logged.append(m)})())
    client.increment_category_counts("op", [{"id": 1}, {"id": BadText()}])
    assert logged == ["Error incrementing category counts for operation 'op': no text"]
    assert [c[0] for c in client.client.calls] == ["pipeline", "hincrby"]


def test_base_exceptions_pass_through():
    class Stop:
        def get(self, name, default=None):
            raise KeyboardInterrupt

    client = Recorded("u", None)
    with pytest.raises(KeyboardInterrupt):
        client.increment_category_counts("op", [Stop()])
