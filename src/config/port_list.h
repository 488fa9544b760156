// What the port and speed lists hold, and how a selection becomes a port.
#pragma once

#include <array>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/speed_tables.h"

namespace brinvale {

// COM1 to COM20: shown when the machine's serial device map lists nothing.
std::vector<std::wstring> FallbackPorts();

// "COM3" gives 3, "COM10" 10; the number after the first three characters
// (blanks skipped, a sign allowed), 0 when there is none ("CNCA0").
int PortNumberFromEntry(const std::wstring& entry);

// The entry that stands for a saved port number: "COM" and the number.
std::wstring SavedPortText(int port);

// The speed list index of a rate text; "115200" for anything unknown.
int SpeedIndexFor(const std::wstring& rate);

#ifdef _WIN32
// The port names of the serial device map, in the order the registry gives.
std::vector<std::wstring> DiscoverPorts();

void FillPortList(HWND list);
void FillSpeedList(HWND list);
void SelectSavedPortAndSpeed(HWND portList, HWND speedList);

// 0 when "선택안함" (index 0) or nothing is selected.
int PortNumberOfSelection(HWND portList);

std::wstring SelectedEntry(HWND list);
#endif

}  // namespace brinvale
