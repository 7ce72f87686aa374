"""Text of any value, for messages: never raises, whatever the value."""


def describe(value):
    """str(value) that never raises."""
    try:
        return str(value)
    except Exception as err:
        return f"<str() failed: {type(err).__name__}>"


def shown_placeholder(value, err):
    """What is shown for a value whose text form cannot be made (`err`)."""
    return f"<{type(value).__name__} object: repr() failed: {type(err).__name__}: " \
           f"{describe(err)}>"
