#include "TqGenParameter.h"

// The parameter shells: each holds the engine node it stands for (TqGenNodeMap.h); the parameter
// array makes them at load and owns them.

TqGenParameter::TqGenParameter(TqGenICamLib::Node* aNode) : mNode(aNode) {}
TqGenParameter::~TqGenParameter() = default;

TqGenParameterList::TqGenParameterList() = default;
TqGenParameterList::~TqGenParameterList() = default;
