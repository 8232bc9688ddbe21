#include "Platform/Console.h"

#include "Platform/Cpu.h"
#include "Platform/DriverSettings.h"

namespace Console {
namespace {

constexpr uint16_t UART = DriverSettings::DEBUG_UART_PORT;
constexpr uint16_t UART_DATA = UART + 0;         // transmit holding / divisor latch low
constexpr uint16_t UART_DIVISOR_HIGH = UART + 1; // with the divisor latch open
constexpr uint16_t UART_LINE_CONTROL = UART + 3;
constexpr uint16_t UART_LINE_STATUS = UART + 5;
constexpr uint8_t LCR_DIVISOR_LATCH = 0x80;
constexpr uint8_t LCR_8_DATA_BITS_2_STOP_BITS = 0x07;
constexpr uint8_t LSR_TRANSMIT_READY = 0x20;
constexpr uint8_t LSR_TRANSMITTER_EMPTY = 0x40;
constexpr uint8_t DIVISOR_115200 = 1;
constexpr uint16_t DEBUG_PORT = 0xE9;

bool LineStart = true;

void PutChar(char Character) {
  Cpu::OutByte(DEBUG_PORT, static_cast<uint8_t>(Character));
  while ((Cpu::InByte(UART_LINE_STATUS) & LSR_TRANSMIT_READY) == 0) {
  }
  Cpu::OutByte(UART_DATA, static_cast<uint8_t>(Character));
  LineStart = Character == '\n';
}

} // namespace

void Initialize() {
  Cpu::OutByte(UART_LINE_CONTROL, LCR_DIVISOR_LATCH);
  Cpu::OutByte(UART_DATA, DIVISOR_115200);
  Cpu::OutByte(UART_DIVISOR_HIGH, 0);
  Cpu::OutByte(UART_LINE_CONTROL, LCR_8_DATA_BITS_2_STOP_BITS);
}

void Put(char Character) {
  PutChar(Character);
}

void Write(const char* Text) {
  for (; *Text != '\0'; ++Text) {
    PutChar(*Text);
  }
}

void Flush() {
  while ((Cpu::InByte(UART_LINE_STATUS) & LSR_TRANSMITTER_EMPTY) == 0) {
  }
}

uint16_t Divisor() {
  Flush();
  const uint8_t LineControl = Cpu::InByte(UART_LINE_CONTROL);
  Cpu::OutByte(UART_LINE_CONTROL, LineControl | LCR_DIVISOR_LATCH);
  const uint16_t Latch =
      static_cast<uint16_t>(Cpu::InByte(UART_DIVISOR_HIGH) << 8 | Cpu::InByte(UART_DATA));
  Cpu::OutByte(UART_LINE_CONTROL, LineControl);
  return Latch;
}

void WriteDecimal(uint64_t Value) {
  char Digits[21];
  unsigned Count = 0;
  do {
    Digits[Count++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Count > 0) {
    PutChar(Digits[--Count]);
  }
}

void WriteSigned(int64_t Value) {
  if (Value < 0) {
    PutChar('-');
    WriteDecimal(static_cast<uint64_t>(0) - static_cast<uint64_t>(Value));
  } else {
    WriteDecimal(static_cast<uint64_t>(Value));
  }
}

void WriteHex(uint64_t Value, unsigned Digits) {
  constexpr char HEX[] = "0123456789ABCDEF";
  Write("0x");
  for (unsigned Index = Digits; Index > 0; --Index) {
    PutChar(HEX[(Value >> ((Index - 1) * 4)) & 0xF]);
  }
}

// A report from an interrupt can come while the main line is half way through a line of its own.
void BeginLine() {
  if (!LineStart) {
    EndLine();
  }
  Write(LINE_PREFIX);
}
void EndLine() {
  Write("\r\n");
}
bool AtLineStart() {
  return LineStart;
}

void Fact(const char* Key, uint64_t Value) {
  BeginLine();
  Write(Key);
  PutChar('=');
  WriteDecimal(Value);
  EndLine();
}

void FactHex(const char* Key, uint64_t Value) {
  BeginLine();
  Write(Key);
  PutChar('=');
  WriteHex(Value);
  EndLine();
}

void FactText(const char* Key, const char* Value) {
  BeginLine();
  Write(Key);
  PutChar('=');
  Write(Value);
  EndLine();
}

} // namespace Console
