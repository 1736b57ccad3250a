// The window's two pictures, taken into the program at build time: the plain background and the
// minus icon of the remove buttons.
#ifndef KRUI_BG_PNG_FILE
#error "KRUI_BG_PNG_FILE must name the background picture"
#endif

__asm__(".pushsection .rodata\n"
        ".global krui_bg_png\n"
        ".global krui_bg_png_end\n"
        ".global krui_minus_png\n"
        ".global krui_minus_png_end\n"
        ".balign 16\n"
        "krui_bg_png:\n"
        ".incbin \"" KRUI_BG_PNG_FILE "\"\n"
        "krui_bg_png_end:\n"
        ".balign 16\n"
        "krui_minus_png:\n"
        ".incbin \"" KRUI_MINUS_PNG_FILE "\"\n"
        "krui_minus_png_end:\n"
        ".popsection\n");
