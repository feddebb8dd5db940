#include "kelvarin/client.hpp"
