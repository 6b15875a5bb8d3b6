// Export macro of the SDK's GenICam library.
#pragma once

#if defined(TQ_GENICAM_BUILD)
#define TQ_GENICAM_API __attribute__((visibility("default")))
#else
#define TQ_GENICAM_API
#endif
