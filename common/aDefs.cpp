#include "aDefs.h"

#include <stdarg.h>
#include <stdio.h>

extern "C" {
uint8_t aQuillomatDebuggingEnable = 0;
uint32_t aQuillomatDebuggingLevel = 0;
}

namespace {

struct ModelName {
  uint8_t code;
  const char* name;
};

const ModelName MODEL_NAMES[] = {
    {aMODEL_HUB_4, "QM-Hub 4"},         {aMODEL_HUB_8, "QM-Hub 8"},
    {aMODEL_SWITCH_2, "QM-Switch 2"},   {aMODEL_SWITCH_4, "QM-Switch 4"},
    {aMODEL_DIO_16, "QM-DIO 16"},       {aMODEL_ADC_8, "QM-ADC 8"},
    {aMODEL_DAC_4, "QM-DAC 4"},         {aMODEL_RELAY_4, "QM-Relay 4"},
    {aMODEL_RELAY_8, "QM-Relay 8"},     {aMODEL_SERVO_8, "QM-Servo 8"},
    {aMODEL_TEMP_4, "QM-Temp 4"},       {aMODEL_POWER_1, "QM-Power 1"},
    {aMODEL_SERIAL_2, "QM-Serial 2"},   {aMODEL_METER_1, "QM-Meter 1"},
    {aMODEL_HUB_PRO, "QM-Hub Pro"},     {aMODEL_ROUTER_1, "QM-Router 1"},
    {aMODEL_SCOPE_2, "QM-Scope 2"},
};

}  // namespace

extern "C" const char* aDefs_GetModelName(uint8_t model) {
  for (const ModelName& entry : MODEL_NAMES)
    if (entry.code == model) return entry.name;
  return "Unknown";
}

extern "C" bool aDefs_DebugEnabled(uint32_t bit) {
  return aQuillomatDebuggingEnable != 0 && (aQuillomatDebuggingLevel & bit) != 0;
}

extern "C" void aDefs_DebugPrintf(uint32_t bit, const char* format, ...) {
  if (!format || !aDefs_DebugEnabled(bit)) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}
