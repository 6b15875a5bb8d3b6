// Export macro of the SDK's software device library.
#pragma once

#if defined(TQ_VIRTUALDEVICE_BUILD)
#define TQ_VIRTUALDEVICE_API __attribute__((visibility("default")))
#else
#define TQ_VIRTUALDEVICE_API
#endif
