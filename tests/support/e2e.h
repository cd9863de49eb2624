// The unit tests' helpers now live beside the program runner.
#pragma once

#include "tests/support/run.h"
