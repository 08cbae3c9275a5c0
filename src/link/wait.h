#pragma once

// Pauses that keep the program alive: pending events (user input excluded) are processed first,
// then the thread sleeps. A sleep of one second or more is skipped, as the system's microsecond
// sleep refuses it, so long pauses only process events.
void delayMs(int ms);
void delayUs(int us);
