# Owned by the removal work: removal_core and its tests.
