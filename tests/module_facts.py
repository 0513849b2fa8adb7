"""What the module's traceback entries and type-test messages say, for the
tests and for the child programs they run (a plain module, without pytest)."""
from constants_def import text

# The file name of every traceback entry the module adds, and the functions
# those entries name.
SOURCE_FILE = text("FILENAME")
INIT_FUNC = text("MODULE_NAME") + "." + text("API_INIT_QUALNAME")
IMPORT_FUNC = "init " + text("MODULE_NAME")

# Appended to a type-test message when the value is of a subclass of the type.
NOTE = text("SUBCLASS_NOTE")


def module_entries(exc):
    """(function, line) of each traceback entry that points into the module's source."""
    found = []
    tb = exc.__traceback__
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found
