"""The TypeError that the compiled modules raise for an argument of the wrong type."""


def refuse(name, expected, value):
    """The TypeError for parameter `name`, which wants exactly `expected` but got `value`.

    Returned rather than raised so that the call site reads `raise refuse(...)`
    and the check itself stays inline (`type(x) is not str`), as cheap as
    plain Python can make it.
    """
    error = TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected.__name__, type(value).__name__)
    )
    if isinstance(value, expected):
        error.add_note("Instances of subclasses of built-in types are refused: pass a plain %s." % expected.__name__)
    return error
