"""Common plumbing for back-end services: logging, Redis access, a service
toolkit (singletons, schema extension, Google Chat alerts) and Kafka settings.

Each submodule is a compiled extension module imported on its own, for example
``from veltrano_python_configuration import journal_setup``.
"""
