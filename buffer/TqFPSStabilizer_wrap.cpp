// The pixel bit count and the display-rate stabiliser of the application utilities.
#include "classes.h"
#include "sdk_types.h"

#include "TqFPSStabilizer.h"
#include "TqPixelType.h"

namespace kivo::module {

using namespace kivo::rt;

Entries fps_stabilizer_entries() {
    return {
        documented_as(constructor_entry<"new_TqFPSStabilizer", TqFPSStabilizer>(), "Constructor."),
        documented_as(delete_entry<"delete_TqFPSStabilizer", TqFPSStabilizer>(), "Destructor."),
        described(method<"TqFPSStabilizer_IsTimeToDisplay", &TqFPSStabilizer::IsTimeToDisplay>("aTargetFPS"),
                  "Whether to display the frame that just came in, for a display rate of aTargetFPS frames per "
                  "second: True when showing it brings the display rate closer to the target, False when it "
                  "would take the rate above it (process the frame, but do not display it)."),
        described(method<"TqFPSStabilizer_GetAverage", &TqFPSStabilizer::GetAverage>(),
                  "The average rate of the frames displayed, in frames per second."),
        documented_as(method<"TqFPSStabilizer_Reset", &TqFPSStabilizer::Reset>(), "Resets the history."),
        registration<"TqFPSStabilizer_swigregister", TqFPSStabilizer>(),
        initialisation<"TqFPSStabilizer_swiginit">(),
    };
}

Entries free_function_entries() {
    return {
        described(function<"TqGetPixelBitCount", &TqGetPixelBitCount>("aType"),
                  "The size of one pixel of the pixel type, in bits."),
    };
}

}  // namespace kivo::module
