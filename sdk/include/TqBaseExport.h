// Export macro of the SDK's base library.
#pragma once

#if defined(TQ_BASE_BUILD)
#define TQ_BASE_API __attribute__((visibility("default")))
#else
#define TQ_BASE_API
#endif
