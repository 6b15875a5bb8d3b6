// The device engine (internal library of the stand-in SDK): being written.
