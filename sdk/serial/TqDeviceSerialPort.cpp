// The serial library of the stand-in SDK: device serial ports come here.
