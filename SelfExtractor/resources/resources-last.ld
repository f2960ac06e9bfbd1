/* Added to GNU ld's default PE script: the resource section goes last, after .reloc, so that
   sfxtool can rewrite it whole, and grow it, in an installer's copy of the stub without moving
   any other section. The statement takes the default script's .rsrc input in with it. */
SECTIONS
{
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
}
INSERT AFTER .reloc;

/* Unwind tables that the prebuilt static zlib and libgcc carry: the stub never unwinds (no
   exceptions, no C runtime), so they are 2 KiB of the file for nothing. */
SECTIONS
{
  /DISCARD/ : { *(.eh_frame) *(.eh_frame$*) }
}
