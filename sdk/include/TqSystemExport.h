// Export macro of the SDK's system library.
#pragma once

#if defined(TQ_SYSTEM_BUILD)
#define TQ_SYSTEM_API __attribute__((visibility("default")))
#else
#define TQ_SYSTEM_API
#endif
