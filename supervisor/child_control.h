#pragma once

// Launches the child of a slot. Returns 1 when the child was created, 0 when
// the launch failed; a failed launch leaves the slot as it was.
int StartChild(int index);

// Asks the child of a slot to quit, gives it a second, then terminates it and
// waits, 5 s at most, for it to be gone; only a child that is gone leaves its
// slot. An index outside the table, or an Empty slot, is passed over at once.
void StopChild(int index);
