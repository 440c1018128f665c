#pragma once
// The text file writer under the name of its class.
#include "Utils/TextFile.h"
