// Writes every event of a laser as one text line ("OnCurrent 2 12.50"), for the diagnostic
// console and for tests that check what the engine reported and in which order.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class TLaser;

// Escapes control and non-ASCII bytes ("\r", "\n", "\t", "\\", "\xNN") so a line stays one line.
std::string EscapeText(std::string_view text);

// Assigns every event of `laser` (replacing handlers already set) so that each raises `sink`
// with its line. Numbers use "%.2f" with "." whatever the locale.
void AttachEventLog(TLaser& laser, std::function<void(const std::string& line)> sink);
