"""The diagnostic's one exception: a usage or tool error (the runtime failed,
no compiled code for a kernel, objdump missing), reported on stderr with
exit status 2. Defined at the bottom so that every layer can raise it."""


class ToolError(Exception):
    pass
