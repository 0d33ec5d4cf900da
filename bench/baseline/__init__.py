"""Plain-Python versions of the four modules, used only as benchmark baselines.

Each file does the same work as the compiled module of the same name: the same
exact-type argument checks with the same TypeError, module globals looked up
at call time, and the same library calls with the same arguments. Nothing
outside bench/ imports them; they are not part of the package.
"""
