"""`python -m dravenholt.vexa`: run the self-test against the installed runtime."""

from dravenholt.vexa.vexa import test

test()
