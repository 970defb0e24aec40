// The program that carries the test binaries' shared precompiled header (tests/gtest_pch.cmake):
// its own objects are compiled with the flags of every other test program, so the header can be
// reused by all of them. It runs no test.
