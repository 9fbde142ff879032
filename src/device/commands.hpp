// The device side names commands with the protocol's table.
#pragma once

#include "protocol/commands.hpp"
