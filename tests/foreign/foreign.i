// A module made by another generator of the same runtime family, for tests only: it shares the
// runtime capsule with our modules and puts its own block in the capsule's list.
%module foreign_swig

%inline %{
#include <cstring>

struct Sensor {
    int id;
    double gain;
};

struct Frame {
    int width;
    int height;
};

// One sensor the module keeps for the process.
Sensor* default_sensor() {
    static Sensor sensor = {7, 1.5};
    return &sensor;
}

int sensor_id(const Sensor* sensor) { return sensor ? sensor->id : -1; }

int frame_area(const Frame* frame) { return frame ? frame->width * frame->height : -1; }

// Takes a char pointer object of any module on the capsule (or a str).
int text_length(const char* text) { return text ? static_cast<int>(std::strlen(text)) : -1; }
%}
