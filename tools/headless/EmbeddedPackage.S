/* The firmware package of the build, linked into kestrel-headless as the updater carries it. */
    .section .rodata
    .global kestrelEmbeddedPackage
    .global kestrelEmbeddedPackageEnd
    .balign 16
kestrelEmbeddedPackage:
    .incbin KESTREL_EMBEDDED_PACKAGE_PATH
kestrelEmbeddedPackageEnd:
    .byte 0
    .section .note.GNU-stack,"",@progbits
