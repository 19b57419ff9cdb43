/* Section layout of the stub: four sections (with the relocations) instead of the usual seven
 * to ten.
 *
 * Every section costs a header and, on average, half of the 512-byte file alignment, and the
 * stub must end before file offset 32768. So the read-only data joins the code in .text, and
 * the resources, the import tables and the writable data share one section (writable anyway:
 * the loader fills the import address table). .bss takes no room in the file.
 *
 * The shared section is named .rsrc and begins with the resource directory, because ld points
 * the resource directory at the start of the output section of that name. The import
 * directory and the import address table it finds through the symbols .idata$2 to .idata$6,
 * defined below as image-relative addresses where those tables start and end.
 *
 * Those symbols stay relative to their section (`. - __image_base__`, not ABSOLUTE(.)): the
 * i686 import thunks (`jmp *slot`) refer to their slot through the section symbol .idata$5
 * of their own object, and ld, which looks such a name up among the global symbols, writes
 * no relocation entry when it finds an absolute one there. The thunks then kept jumping
 * into the preferred base wherever Windows moved the image. finish_stub.py checks it.
 *
 * The import lookup tables (.idata$4) go to .bss: in the file they are a copy of the import
 * address table, 4 or 8 bytes per imported function. finish_stub.py then drops .bss from the
 * file and sets each import descriptor's pointer to its lookup table to 0, so that the loader
 * reads the names from the import address table, as the PE format allows.
 *
 * The stub has no C runtime start-up, so nothing would run global constructors or
 * destructors: the assertions below turn one into a link error instead of a silent fault.
 */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + (__section_alignment__ < 0x1000 ? . : __section_alignment__) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    __stub_ctors_start = .;
    KEEP (*(.ctors)) KEEP (*(.ctor)) KEEP (*(SORT_BY_NAME(.ctors.*)))
    KEEP (*(.dtors)) KEEP (*(.dtor)) KEEP (*(SORT_BY_NAME(.dtors.*)))
    KEEP (*(SORT(.CRT$*)))
    KEEP (*(.tls)) KEEP (*(SORT(.tls$*)))
    __stub_ctors_end = .;
    *(.rdata)
    *(SORT(.rdata$*))
  }
  ASSERT(__stub_ctors_start == __stub_ctors_end,
         "the stub runs no global constructors, destructors or thread-local initialisers")

  /* Resources first (see above), then the import tables, then the writable data. */
  .rsrc BLOCK(__section_alignment__) :
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
    . = ALIGN(16);
    ".idata$2" = . - __image_base__;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    . = ALIGN(8);
    ".idata$4" = . - __image_base__;
    __IAT_start__ = .;
    ".idata$5" = . - __image_base__;
    SORT(*)(.idata$5)
    __IAT_end__ = .;
    ".idata$6" = . - __image_base__;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    . = ALIGN(16);
    *(.data)
    *(.data2)
    *(SORT(.data$*))
  }

  .bss BLOCK(__section_alignment__) :
  {
    KEEP (SORT(*)(.idata$4))
    *(.bss)
    *(COMMON)
  }


  /* finish_stub.py moves the relocation table to the end of .rsrc and drops this section. */
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }

  /* Unwind tables serve only exceptions, which the stub does not use. */
  /DISCARD/ :
  {
    *(.eh_frame*) *(.pdata*) *(.xdata*) *(.gcc_except_table)
    *(.debug*) *(.zdebug*) *(.stab*) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*)
  }
}
