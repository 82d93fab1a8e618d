#pragma once

// Path of the built ZuveloElevated.
inline constexpr const char* kElevatedProgram = ZUVELO_ELEVATED_PATH;
