# Owned by the settings store work: reg_settings, the registry stand-in, reg, their tests.
