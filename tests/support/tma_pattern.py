"""The copy engine's swizzle pattern, written from its definition, for the host tests of the
swizzled layouts."""


def tma_swizzled_byte(span, row, byte):
    """Where the copy engine puts byte `byte` of box row `row` for a box whose rows are one
    swizzle span: the linear address with bits [4, 4+b) XOR-ed by bits [7, 7+b), where b is
    1, 2 or 3 for the 32B, 64B and 128B modes."""
    bits = {32: 1, 64: 2, 128: 3}[span]
    linear = row * span + byte
    return linear ^ (((linear >> 7) & ((1 << bits) - 1)) << 4)
