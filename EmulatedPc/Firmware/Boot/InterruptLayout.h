// Shape of the interrupt entry stubs, shared by the assembly and the IDT set-up.
#pragma once

#define INTERRUPT_VECTOR_COUNT 256
#define INTERRUPT_STUB_SIZE 16
#define FXSAVE_AREA_SIZE 512
