#include "TqGenEventSink.h"

TqGenEventSink::~TqGenEventSink() = default;
