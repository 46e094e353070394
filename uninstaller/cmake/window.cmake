# Owned by the window work: the Uninstall program, its resources and tests.
