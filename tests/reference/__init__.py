"""Literal numpy and pandas transcriptions of the native computations.

The yardsticks of the tests (which compare every number with them) and of the
benchmarks under bench/ (which time them beside the native code, reaching this
package through bench/from_tests.py). Kept here, out of the installed package.
"""
