// "flowstat": data usage settings through the flow statistics service.
#pragma once

#include <stddef.h>


// Formats an amount with "%f" into out; a figure that does not fit is given
// as "%.6e" instead of being cut. 0, or -1 when even that does not fit.
int formatAmount(char *out, size_t size, double amount);
