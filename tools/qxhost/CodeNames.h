#pragma once
// CCodeNames: the names of the component's result, control and event codes and of the power
// states, as operators read them in log lines ("PHR_SUCCESS", "PH_USB_GET_POWER_STATE").

#include <string>

class CCodeNames {
public:
    // "PHR_SUCCESS", ...; an unknown value as "0x%08X".
    static std::string Result(unsigned int ulCode);
    // The name of a control code (the UCS-2 flag shown as "|PH_UCS2_STRINGS"); unknown: "0x%08X".
    static std::string Control(unsigned int ulCode);
    static std::string Event(unsigned int ulCode);
    // "ready (0)", "not ready (1)", ...; "-1" is "not yet determined (-1)".
    static std::string Power(int nState);

    // A control code given by name (with or without the "PH_" prefix, any case, optionally
    // followed by "|PH_UCS2_STRINGS" or "+UCS2") or as a number (0x hex or decimal, 32 bits).
    static bool ParseControl(const std::string& strText, unsigned int* pulCode);
    // Comma-separated list of every control code name, for help texts.
    static std::string ControlList();
};
