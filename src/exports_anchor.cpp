// The shared library is pelox_core linked whole; this file only gives the
// target a source of its own and checks that the public header compiles in
// the library's own build.
#include "peloxImp.h"
