"""QuillMaret SDK core: the exception hierarchy of the QuillMaret data API."""
