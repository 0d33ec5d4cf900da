"""What the tests and the leak check share, apart from the tests themselves:

  redis_servers  real redis-server processes (standalone and a three-master
                 cluster) and helpers for tests of the Redis clients;
  http_sink      a recording webhook sink for the messenger tests;
  logs           logger names, record layouts and handlers;
  programs       the scenario programs of tests/scenarios/, each run in a
                 fresh interpreter (run_scenario, start_scenario);
  reliability    a fast webhook sink, a cluster with replicas, load sizes.

Plain modules, imported by name (`from support.logs import record`); the
pytest fixtures over them are in tests/conftest.py.
"""
