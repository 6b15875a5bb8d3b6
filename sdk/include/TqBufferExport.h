// Export macro of the SDK's buffer library.
#pragma once

#if defined(TQ_BUFFER_BUILD)
#define TQ_BUFFER_API __attribute__((visibility("default")))
#else
#define TQ_BUFFER_API
#endif
