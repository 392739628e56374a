// End-to-end tests: the real program, run on files made here.
#include "support.h"

#include <gtest/gtest.h>
#include <png.h>
