// The class table: every SDK class the module knows, with its type, its direct bases in declaration
// order, its method-table rows and whether Python may subclass it. It gives the cast lists, the order
// of the method table and the class facts the companion layer builds its classes from. Adding a
// class is its own file of rows plus one line here.
#pragma once

#include "kinds.h"
#include "types.h"

#include <vector>

namespace kivo::module {

using Entries = std::vector<kivo::rt::Entry>;

// The converter of a base at the derived object's address.
void* same_pointer(void* p, int*);

struct BaseRow {
    TypeId base;
    SwigConverterFunc convert;   // derived pointer to base pointer
};

struct ClassRow {
    const char* name;
    TypeId type;
    std::vector<BaseRow> bases;
    Entries (*entries)();   // null: known for its casts, not wrapped yet
    bool director;
};

const std::vector<ClassRow>& class_table();

// Casts between descriptors that are no classes (pointers to pointers): wanted, derived.
struct PointerCastRow {
    TypeId wanted;
    TypeId derived;
};
const std::vector<PointerCastRow>& pointer_casts();

// Each wrapped class's rows.
Entries result_entries();
Entries string_entries();
Entries chunk_data_interface_entries();
Entries buffer_entries();
Entries chunk_data_entries();
Entries image_interface_entries();
Entries image_entries();
Entries raw_data_entries();
Entries fps_stabilizer_entries();
Entries parameter_array_entries();
Entries state_stack_entries();
Entries parameter_entries();
Entries integer_entries();
Entries float_entries();
Entries enum_entries();
Entries boolean_entries();
Entries command_entries();
Entries string_parameter_entries();
Entries register_entries();
Entries category_entries();
Entries enum_entry_entries();
Entries logger_entries();
Entries log_sink_entries();
Entries device_info_entries();
Entries device_info_gev_entries();
Entries device_info_zelvra_entries();
Entries device_info_usb_entries();
Entries device_info_u3v_entries();
Entries ip_config_entries();
Entries interface_entries();
Entries network_adapter_entries();
Entries usb_host_controller_entries();
Entries session_info_entries();
Entries system_entries();
Entries device_entries();
Entries device_event_sink_entries();
Entries serial_port_entries();
Entries buffer_converter_entries();
Entries rgb_filter_entries();
Entries compression_filter_entries();
Entries multipart_reader_entries();
Entries multipart_writer_entries();
Entries multipart_container_entries();
Entries multipart_section_entries();
Entries image_jpeg_entries();
Entries decompression_filter_entries();
Entries stream_entries();
Entries pipeline_entries();
Entries pipeline_event_sink_entries();
Entries stream_gev_entries();
Entries stream_u3v_entries();
Entries stream_rtp_entries();
Entries device_gev_entries();
Entries device_u3v_entries();
Entries device_zelvra_entries();
Entries event_sink_entries();
Entries device_adapter_entries();
Entries parameter_list_entries();
// The SDK's free functions, after every class's rows.
Entries free_function_entries();

}  // namespace kivo::module
