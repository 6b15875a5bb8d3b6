// Receiver of parameter updates of the GenICam layer.
#pragma once

class TqGenParameter;

class TqGenEventSink {
public:
    virtual ~TqGenEventSink() = default;
    virtual void OnParameterUpdate(TqGenParameter* aParameter) = 0;
};
