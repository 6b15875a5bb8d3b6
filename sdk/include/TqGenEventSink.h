// Receiver of parameter updates of the GenICam layer (library TqGenICam64).
#pragma once

class TqGenParameter;

class TqGenEventSink {
public:
    virtual ~TqGenEventSink();
    virtual void OnParameterUpdate(TqGenParameter* aParameter) = 0;
};
