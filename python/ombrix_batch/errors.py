"""The driver's own failures: what a user can fix (an input, an option) or
act on (a run to resume)."""


class BatchError(Exception):
    """A run that cannot go on; the message says what to do."""


class InputError(BatchError, ValueError):
    """An input that cannot be scored as given; the message names the file and field."""


class BatchNote(UserWarning):
    """Something a run did other than asked (fewer processes, say); the run goes on."""
