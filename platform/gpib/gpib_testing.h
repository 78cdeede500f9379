// SPDX-License-Identifier: GPL-3.0-or-later
// Test hook of the GPIB binding: forget the bound driver library, so that the
// next routine binds again from GPIB_LIBRARY and GPIB_TRACE as they are then.
// Lets one test process try several driver libraries; programs never call it.
#pragma once

void gpib_unbind_for_testing();
