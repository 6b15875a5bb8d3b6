// The pixel bit count and the display-rate stabiliser of the application utilities.
#include "classes.h"
#include "sdk_types.h"

#include "TqFPSStabilizer.h"
#include "TqPixelType.h"

namespace kivo::module {

using namespace kivo::rt;

Entries fps_stabilizer_entries() {
    return {
        constructor_entry<"new_TqFPSStabilizer", TqFPSStabilizer>(),
        delete_entry<"delete_TqFPSStabilizer", TqFPSStabilizer>(),
        method<"TqFPSStabilizer_IsTimeToDisplay", &TqFPSStabilizer::IsTimeToDisplay>("aTargetFPS"),
        method<"TqFPSStabilizer_GetAverage", &TqFPSStabilizer::GetAverage>(),
        method<"TqFPSStabilizer_Reset", &TqFPSStabilizer::Reset>(),
        registration<"TqFPSStabilizer_swigregister", TqFPSStabilizer>(),
        initialisation<"TqFPSStabilizer_swiginit">(),
    };
}

// The docstrings' texts of TqFPSStabilizer's rows.
const DocTable kFpsStabilizerDocs{
    whole("new_TqFPSStabilizer", "Constructor."),
    whole("delete_TqFPSStabilizer", "Destructor."),
    summary("TqFPSStabilizer_IsTimeToDisplay",
            "Whether to display the frame that just came in, for a display rate of aTargetFPS frames per second: "
            "True when showing it brings the display rate closer to the target, False when it would take the rate "
            "above it (process the frame, but do not display it)."),
    summary("TqFPSStabilizer_GetAverage", "The average rate of the frames displayed, in frames per second."),
    whole("TqFPSStabilizer_Reset", "Resets the history."),
};

Entries free_function_entries() {
    return {
        function<"TqGetPixelBitCount", &TqGetPixelBitCount>("aType"),
    };
}

// The docstrings' texts of TqGetPixelBitCount's rows.
const DocTable kFreeFunctionDocs{
    summary("TqGetPixelBitCount", "The size of one pixel of the pixel type, in bits."),
};

}  // namespace kivo::module
