#pragma once

// The listening steps of an action run. The run picks how it polls the relays by the phase;
// the phases must follow each other at this pace so that a relay's sensors get their turn
// before the run settles: 0 for 2 s, 1 for 2 s, 2 for 4 s, then 3 until the run ends. The run
// sets the fields itself when it starts or when a relay answers; tick() is its one-second clock.
struct ListenPhases {
    static constexpr int Last = 3;

    int phase = 0;
    // Seconds left in the current phase.
    int countdown = 2;

    void tick();
};
