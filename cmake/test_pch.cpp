// The source of the test programs' shared precompiled header.
