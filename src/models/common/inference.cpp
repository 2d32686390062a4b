// Translation unit that anchors the torch-using part of the library.
#include <ATen/ATen.h>
