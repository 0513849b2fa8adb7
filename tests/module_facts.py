"""What the module's traceback entries and type-test messages say, for the
tests and for the child programs they run (a plain module, without pytest)."""

# The file name of every traceback entry the module adds, and the functions
# those entries name.
SOURCE_FILE = "src/quillmaret/_m3"
INIT_FUNC = "quillmaret._m3.QuillMaretAPIError.__init__"
IMPORT_FUNC = "init quillmaret._m3"

# Appended to a type-test message when the value is of a subclass of the type.
NOTE = ("Note that QuillMaret is deliberately stricter than PEP-484 and rejects subclasses of builtin "
        "types. Pass a value of the builtin type itself, for example str(value) or dict(value).")


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
