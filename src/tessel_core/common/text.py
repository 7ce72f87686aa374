"""Text of any value, for messages: never raises, whatever the value."""


def describe(value):
    """str(value) that never raises."""
    try:
        return str(value)
    except Exception as err:
        return f"<str() failed: {type(err).__name__}>"
