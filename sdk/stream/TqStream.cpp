// The stream library of the stand-in SDK: stream receivers and the buffer pipeline come here.
