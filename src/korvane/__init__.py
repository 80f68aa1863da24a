"""korvane: a notebook client kit for a multi-tenant code-generation service."""


def load_ipython_extension(ipython):
    """``%load_ext korvane``: logs in and adds the %korvane magic (see korvane.magics)."""
    from korvane import magics  # only now: importing korvane stays cheap

    magics.load_ipython_extension(ipython)


def unload_ipython_extension(ipython):
    from korvane import magics

    magics.unload_ipython_extension(ipython)
