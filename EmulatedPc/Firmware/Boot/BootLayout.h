// Constants shared by the assembly start-up code. Plain preprocessor values, since the assembler
// reads this file too.
#pragma once

// Real mode after reset: CS selects the last 64 KiB below 4 GiB.
#define RESET_SEGMENT_BASE 0xFFFF0000
#define RESET_VECTOR_SIZE 16

// Flat segments: 32-bit code, data, 64-bit code. The accessed bits are preset so that the
// processor never tries to write them into the ROM.
#define GDT_CODE32 0x08
#define GDT_DATA 0x10
#define GDT_CODE64 0x18
#define GDT_ENTRY_CODE32 0x00CF9B000000FFFF
#define GDT_ENTRY_DATA 0x00CF93000000FFFF
#define GDT_ENTRY_CODE64 0x00AF9B000000FFFF

#define CR0_PE 0x00000001
#define CR0_MP 0x00000002
#define CR0_EM 0x00000004
#define CR0_PG 0x80000000
#define CR4_PAE 0x00000020
#define CR4_OSFXSR 0x00000200
#define CR4_OSXMMEXCPT 0x00000400
#define MSR_EFER 0xC0000080
#define EFER_LME 0x00000100

#define PAGE_PRESENT_WRITABLE 0x003
#define PAGE_UNCACHED 0x018 /* PWT | PCD */
#define PAGE_LARGE 0x080
#define PAGE_SIZE_4K 0x1000
#define LARGE_PAGE_SHIFT 21
#define ENTRIES_PER_TABLE 512
#define IDENTITY_MAPPED_GIGABYTES 4
#define FIRST_UNCACHED_LARGE_PAGE (3 * ENTRIES_PER_TABLE)
