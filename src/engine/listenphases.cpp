#include "listenphases.h"

void ListenPhases::tick()
{
    if (phase >= Last || --countdown > 0)
        return;
    switch (phase) {
    case 0:
        phase = 1;
        countdown = 2;
        break;
    case 1:
        phase = 2;
        countdown = 4;
        break;
    default:
        phase = Last;
        break;
    }
}
