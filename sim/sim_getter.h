// The stand-ins' calls share two shapes: a fault check before the call's
// work, and a getter that loads a record and hands out one value of it.
#pragma once

#include <stddef.h>

#include "sim/sim_faults.h"

// Runs body unless service fails now, when failed is the answer.
template <typename Result, typename Body>
Result simServe(SimService service, Result failed, Body body)
{
    if (simServiceFails(service))
        return failed;
    return body();
}

// A getter of the mobile service's kind: 0 when the service fails, out is
// null or load cannot read the record, else 1 with *out = field(record).
template <typename Record, typename T, typename Load, typename Field>
int simGetField(SimService service, T *out, Load load, Field field)
{
    return simServe(service, 0, [&] {
        Record record;
        if (out == NULL || load(&record) != 0)
            return 0;
        *out = field(record);
        return 1;
    });
}

// The same for a call that answers nothing.
template <typename Body>
void simServeVoid(SimService service, Body body)
{
    if (!simServiceFails(service))
        body();
}
