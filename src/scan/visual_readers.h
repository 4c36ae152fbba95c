// The readers of pictures and video join the scanner's table here; only the
// full edition calls this, so the music edition holds none of their code.
#pragma once

void visual_readers_register();
