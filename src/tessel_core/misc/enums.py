"""Status enumerations of components and their disk caches."""

from enum import Enum, EnumMeta


class _ValueMembershipMeta(EnumMeta):
    """`x in Enum` is true for a member or for a member's value.

    The component models store statuses in `str` fields, so a status read back
    from a model is a plain string; it must still count as a valid status.
    Anything else is simply not a member (no TypeError).
    """

    def __contains__(cls, item):
        if isinstance(item, cls):
            return True
        try:
            return item in cls._value2member_map_
        except TypeError:  # unhashable
            return False


class TesselComponentStatus(str, Enum, metaclass=_ValueMembershipMeta):
    INVALID = "INVALID"
    RUNNING = "RUNNING"
    SUCCESSFUL = "SUCCESSFUL"
    FAILED = "FAILED"

    def __str__(self) -> str:
        return self.value


class TesselDiskcacheStatus(str, Enum, metaclass=_ValueMembershipMeta):
    CACHED = "CACHED"
    UNCACHED = "UNCACHED"
    FAILED = "FAILED"

    def __str__(self) -> str:
        return self.value


class TesselPipelineCallbackProcedure(str, Enum, metaclass=_ValueMembershipMeta):
    HPO_COMPLETED = "HPO_COMPLETED"
    HPO_EARLY_STOPPED = "HPO_EARLY_STOPPED"
    HPO_ERROR = "HPO_ERROR"
    HPO_TRIAL_EXECUTED = "HPO_TRIAL_EXECUTED"

    def __str__(self) -> str:
        return self.value


class TesselPipelineCallbackStatus(str, Enum, metaclass=_ValueMembershipMeta):
    SUCCESSFUL = "SUCCESSFUL"
    FAILED = "FAILED"

    def __str__(self) -> str:
        return self.value
