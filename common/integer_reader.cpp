#include "common/integer_reader.h"

#include <limits.h>
#include <math.h>

bool readInteger(const cJSON *item, NonNumber nonNumber, long long low, long long high, int *value)
{
    if (item == NULL)
        return false;
    double whole = 0;
    if (cJSON_IsNumber(item)) {
        if (!isfinite(item->valuedouble))
            return false;
        // Toward zero, as cJSON's own valueint within the int range; the
        // comparison is made on the double so that nothing saturates.
        whole = trunc(item->valuedouble);
    } else if (nonNumber == NON_NUMBER_REFUSED) {
        return false;
    } else {
        whole = nonNumber == NON_NUMBER_TRUE_ONE && cJSON_IsTrue(item) ? 1 : 0;
    }
    if (whole < (double)low || whole > (double)high || whole < (double)INT_MIN || whole > (double)INT_MAX)
        return false;
    if (value != NULL)
        *value = (int)whole;
    return true;
}
