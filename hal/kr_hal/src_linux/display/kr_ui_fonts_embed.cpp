// The fonts built into the program: Debian's Liberation Regular faces, taken in at build time.
#ifndef KR_FONT_SANS_FILE
#error "KR_FONT_SANS_FILE must name the sans font file"
#endif

__asm__(".pushsection .rodata\n"
        ".global kr_font_sans_data\n"
        ".global kr_font_sans_end\n"
        ".global kr_font_mono_data\n"
        ".global kr_font_mono_end\n"
        ".balign 16\n"
        "kr_font_sans_data:\n"
        ".incbin \"" KR_FONT_SANS_FILE "\"\n"
        "kr_font_sans_end:\n"
        ".balign 16\n"
        "kr_font_mono_data:\n"
        ".incbin \"" KR_FONT_MONO_FILE "\"\n"
        "kr_font_mono_end:\n"
        ".popsection\n");
