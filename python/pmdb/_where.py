# Where the library was when this package was installed from pmdblib's
# source tree. The copy in the source tree names nothing; `pip install`
# writes the installed copy (see setup.py).
BUILT_LIBRARY = None
