// cache_access: the category counts of one batch, counted in one pipeline.
#include "cache_access.hpp"

#include <algorithm>

namespace cache_access {
namespace {

Name n_get("get");
Name n_pipeline("pipeline");
Name n_expire("expire");
Name n_hincrby("hincrby");
Name n_execute("execute");
Name n_get_node_from_key("get_node_from_key");
Name n_get_redis_connection("get_redis_connection");
Name n_nodes_manager("nodes_manager");
Name n_initialize("initialize");

// Keys of a category entry.
Name n_id("id");
Name n_subCategories("subCategories");
Name n_subSubCategories("subSubCategories");

constexpr long long counts_ttl = 10800;  // three hours

// entry.get(name): a plain dict is read directly (its `get` cannot be
// replaced), anything else through its `get` method.
Ref entry_get(Handle entry, const Name& name) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(entry.ptr(), name.get().ptr(), &found))) return Ref::steal(found);
        return none().ref();
    }
    return call_method(entry, n_get, name);
}

// entry.get(name, []); an empty Ref when a plain dict lacks the key (an
// empty list, so nothing to walk).
Ref entry_children(Handle entry, const Name& name) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(entry.ptr(), name.get().ptr(), &found))) return Ref::steal(found);
        return Ref();
    }
    Ref empty = new_list();
    return call_method(entry, n_get, name, empty);
}

// Call `visit` for each item of `items` in iteration order. A list is read
// by index with its current length at each step, as the list iterator does.
template <class Visit>
void for_each(Handle items, Visit&& visit) {
    PyObject* v = items.ptr();
    if (PyList_CheckExact(v)) {
        // The entries of a large batch are mostly out of the CPU caches: ask
        // for the next few ahead of time, so that their loads overlap.
        constexpr Py_ssize_t ahead = 4;
        for (Py_ssize_t i = 0; i < ahead && i < PyList_GET_SIZE(v); ++i) __builtin_prefetch(PyList_GET_ITEM(v, i));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i + ahead < PyList_GET_SIZE(v)) __builtin_prefetch(PyList_GET_ITEM(v, i + ahead));
            visit(Handle(Ref::borrow(PyList_GET_ITEM(v, i))));
        }
    } else if (PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) visit(Handle(PyTuple_GET_ITEM(v, i)));
    } else {
        Ref it = check(PyObject_GetIter(v));
        while (Ref item = Ref::steal(PyIter_Next(it.ptr()))) visit(Handle(item));
        if (PyErr_Occurred()) rethrow();
    }
}

// The decimal text of a machine-size int, as str() writes it.
Ref decimal_text(long long value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        *--p = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest);
    if (value < 0) *--p = '-';
    Ref text = check(PyUnicode_New(end - p, 127));
    std::copy(p, end, static_cast<char*>(PyUnicode_DATA(text.ptr())));
    return text;
}

// The text of a category id, as str() gives it. Ids are often ints, and
// often the same ones from batch to batch: the texts of exact ints are made
// directly and kept in a small direct-mapped table (a slot keeps the first
// int that lands in it), which is bounded and, as str() of an int has no
// side effects, indistinguishable from making the text again.
constexpr size_t int_text_slots = 4096;

// The unit's state, made once by prepare_counts(). Plain statics serve as the
// module's state: the module is initialised once per process and into one
// interpreter only (binding/module.hpp refuses a second initialisation and a
// second interpreter), and every use holds the interpreter lock.
struct State {
    long long int_text_values[int_text_slots];  // the int each slot of int_texts holds the text of
    Forever int_texts;                          // a list of int_text_slots texts (None where empty)
    Forever cluster_class;                      // redis.cluster.RedisCluster, to recognise a cluster connection
} state;

Ref id_text(Handle id) {
    if (!PyLong_CheckExact(id.ptr())) return str(id);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
    if (overflow) return str(id);
    if (value == -1 && PyErr_Occurred()) rethrow();
    size_t slot = static_cast<size_t>(value) & (int_text_slots - 1);
    PyObject* cached = PyList_GET_ITEM(state.int_texts.ptr(), slot);
    if (cached == Py_None) {
        Ref text = decimal_text(value);
        check(PyList_SetItem(state.int_texts.ptr(), static_cast<Py_ssize_t>(slot), text.ref().release()));
        state.int_text_values[slot] = value;
        return text;
    }
    if (state.int_text_values[slot] == value) return Ref::borrow(cached);
    return decimal_text(value);
}

// The pipeline's `hincrby`, fetched once per call. A bound method is split
// into its function and instance, so each call goes straight to the
// function with the instance in front, as the method object would do.
class Increment {
public:
    explicit Increment(Ref method) {
        if (PyMethod_Check(method.ptr())) {
            function_ = Ref::borrow(PyMethod_GET_FUNCTION(method.ptr()));
            self_ = Ref::borrow(PyMethod_GET_SELF(method.ptr()));
        } else {
            function_ = std::move(method);
        }
    }
    void operator()(Handle key, Handle field, Handle one) const {
        if (self_)
            call(function_, self_, key, field, one);
        else
            call(function_, key, field, one);
    }

private:
    Ref function_;
    Ref self_;
};

// The depth-first, pre-order walk of one batch: one `hincrby(key, str(id), 1)`
// per category node.
struct CountWalk {
    Handle key;
    Increment hincrby;
    Handle one;

    void count(Handle entry) const {
        Ref id = entry_get(entry, n_id);
        if (PyUnicode_CheckExact(id.ptr()))
            hincrby(key, id, one);  // str() of a str is the str itself
        else
            hincrby(key, id_text(id), one);
    }

    void subcategory(Handle entry) const {
        count(entry);
        if (Ref children = entry_children(entry, n_subSubCategories))
            for_each(children, [this](Handle leaf) { count(leaf); });
    }

    void category(Handle entry) const {
        count(entry);
        if (Ref children = entry_children(entry, n_subCategories))
            for_each(children, [this](Handle sub) { subcategory(sub); });
    }
};

// Counts on a cluster. redis-py's cluster pipeline sends the commands of a
// batch whose node failed or timed out again, one by one, each with the
// client's retries: a batch whose reply timed out, which the node may well
// have applied, would be counted twice, and the wait would grow with the
// batch. So a batch goes, at most once, as the plain pipeline (MULTI/EXEC,
// as on a single server) of the node that owns the hash's slot; all its
// commands use the one key, hence that one slot. Such a pipeline does not
// follow a MOVED or ASK answer (a reshard under way): the batch fails, is
// logged, and nothing of it is applied.

// Run `exchange` with the cluster connection `client`; when it fails, rebuild
// the client's slot table before the failure goes on, as redis-py does after
// a failed command, so that the next batch goes to the slot's current owner
// (the replica promoted in place of a failed master, the new owner after a
// reshard). A refresh that fails too is left to the next call to meet.
template <class Exchange>
void with_slot_refresh(Handle client, Exchange&& exchange) {
    try {
        exchange();
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        try {
            call_method(getattr(client, n_nodes_manager), n_initialize);
        } catch (PyError& refresh) {
            if (!refresh.matches(PyExc_Exception)) throw;
        }
        throw;
    }
}

// The pipeline of one batch: the connection's own, or on a cluster that of
// the node that owns `key`'s slot.
Ref counts_pipeline(Handle client, Handle key, bool cluster) {
    if (!cluster) return call_method(client, n_pipeline);
    Ref pipeline;
    with_slot_refresh(client, [&] {
        Ref node = call_method(client, n_get_node_from_key, key);
        pipeline = call_method(call_method(client, n_get_redis_connection, node), n_pipeline);
    });
    return pipeline;
}

}  // namespace

void prepare_counts(Handle cluster_class) {
    Ref texts = check(PyList_New(int_text_slots));
    for (size_t i = 0; i < int_text_slots; ++i) check(PyList_SetItem(texts.ptr(), i, none().ref().release()));
    state.int_texts.set(std::move(texts));
    state.cluster_class.set(cluster_class.ref());
}

// The expiry is queued after the increments so that it also holds on the
// call that creates the hash (an EXPIRE of a missing key does nothing). A
// failure part-way leaves the pipeline dropped unsent: a batch is never sent twice.
void count_batch(Handle client, Handle key, Handle batch) {
    const bool cluster = check(PyObject_IsInstance(client.ptr(), state.cluster_class.ptr())) != 0;
    Ref pipeline = counts_pipeline(client, key, cluster);
    Ref one = new_int(1);
    CountWalk walk{key, Increment(getattr(pipeline, n_hincrby)), one};
    for_each(batch, [&walk](Handle category) { walk.category(category); });
    Ref ttl = new_int(counts_ttl);
    call_method(pipeline, n_expire, key, ttl);
    if (cluster)
        with_slot_refresh(client, [&] { call_method(pipeline, n_execute); });
    else
        call_method(pipeline, n_execute);
}

}  // namespace cache_access
