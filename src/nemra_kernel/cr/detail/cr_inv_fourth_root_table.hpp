// The tables of cr::invFourthRoot (for cr_inv_fourth_root.cpp only), generated with MPFR at 400
// bits by nemra-cr-tables (tools/cr_tables/cr_tables_print.cpp); the CrTables tests check them.
#ifndef NEMRA_KERNEL_CR_DETAIL_CR_INV_FOURTH_ROOT_TABLE_HPP
#define NEMRA_KERNEL_CR_DETAIL_CR_INV_FOURTH_ROOT_TABLE_HPP

namespace nemra_kernel::detail {

// At c_j = 1 + (2j + 1)/128, j = 0..63, the centre of the j-th 64th of [1, 2): 1/c_j and
// c_j^(-1/4), each the nearest double.
struct FourthRootCentre {
  double inverse, root;
};
inline constexpr FourthRootCentre kFourthRootCentres[64] = {
    {0x1.fc07f01fc07fp-1, 0x1.ff013e2306dbp-1},   {0x1.f44659e4a4271p-1, 0x1.fd0b0e51fa9e9p-1},
    {0x1.ecc07b301eccp-1, 0x1.fb1e5cd328173p-1},  {0x1.e573ac901e574p-1, 0x1.f93ad82f00e7fp-1},
    {0x1.de5d6e3f8868ap-1, 0x1.f76032d0f74bdp-1}, {0x1.d77b654b82c34p-1, 0x1.f58e22ca50089p-1},
    {0x1.d0cb58f6ec074p-1, 0x1.f3c46199890a2p-1}, {0x1.ca4b3055ee191p-1, 0x1.f202abf5ed976p-1},
    {0x1.c3f8f01c3f8fp-1, 0x1.f048c19efb6fdp-1},  {0x1.bdd2b899406f7p-1, 0x1.ee96652f455p-1},
    {0x1.b7d6c3dda338bp-1, 0x1.eceb5bf287874p-1}, {0x1.b2036406c80d9p-1, 0x1.eb476dbeaa8e6p-1},
    {0x1.ac5701ac5701bp-1, 0x1.e9aa64cf7609fp-1}, {0x1.a6d01a6d01a6dp-1, 0x1.e8140da4bc6dbp-1},
    {0x1.a16d3f97a4b02p-1, 0x1.e68436e2cca41p-1}, {0x1.9c2d14ee4a102p-1, 0x1.e4fab134fbbf1p-1},
    {0x1.970e4f80cb872p-1, 0x1.e3774f321ce2ap-1}, {0x1.920fb49d0e229p-1, 0x1.e1f9e542c153ep-1},
    {0x1.8d3018d3018d3p-1, 0x1.e08249891df5bp-1}, {0x1.886e5f0abb04ap-1, 0x1.df1053ca7682bp-1},
    {0x1.83c977ab2beddp-1, 0x1.dda3dd59f18fbp-1}, {0x1.7f405fd017f4p-1, 0x1.dc3cc104bad81p-1},
    {0x1.7ad2208e0ecc3p-1, 0x1.dadadaff5b92bp-1}, {0x1.767dce434a9b1p-1, 0x1.d97e08d432902p-1},
    {0x1.724287f46debcp-1, 0x1.d8262952f7b9cp-1}, {0x1.6e1f76b4337c7p-1, 0x1.d6d31c813830ep-1},
    {0x1.6a13cd153729p-1, 0x1.d584c38bb9d01p-1},  {0x1.661ec6a5122f9p-1, 0x1.d43b00b8b62f7p-1},
    {0x1.623fa7701624p-1, 0x1.d2f5b75ade8cfp-1},  {0x1.5e75bb8d015e7p-1, 0x1.d1b4cbc51b1cfp-1},
    {0x1.5ac056b015acp-1, 0x1.d078233ef9517p-1},  {0x1.571ed3c506b3ap-1, 0x1.cf3fa3f9bd97ep-1},
    {0x1.5390948f40febp-1, 0x1.ce0b35060dee8p-1}, {0x1.5015015015015p-1, 0x1.ccdabe4a2b78ep-1},
    {0x1.4cab88725af6ep-1, 0x1.cbae2878b1fap-1},  {0x1.49539e3b2d067p-1, 0x1.ca855d07d4c15p-1},
    {0x1.460cbc7f5cf9ap-1, 0x1.c96046291135cp-1}, {0x1.42d6625d51f87p-1, 0x1.c83ecec14fbb3p-1},
    {0x1.3fb013fb013fbp-1, 0x1.c720e2616c2fap-1}, {0x1.3c995a47babe7p-1, 0x1.c6066d3f1fb98p-1},
    {0x1.3991c2c187f63p-1, 0x1.c4ef5c2e46107p-1}, {0x1.3698df3de0748p-1, 0x1.c3db9c9a78ce5p-1},
    {0x1.33ae45b57bcb2p-1, 0x1.c2cb1c80fbb96p-1}, {0x1.30d190130d19p-1, 0x1.c1bdca6af54c9p-1},
    {0x1.2e025c04b8097p-1, 0x1.c0b39567ef16cp-1}, {0x1.2b404ad012b4p-1, 0x1.bfac6d0899d2ep-1},
    {0x1.288b01288b013p-1, 0x1.bea84159d1611p-1}, {0x1.25e22708092f1p-1, 0x1.bda702dfdd09bp-1},
    {0x1.23456789abcdfp-1, 0x1.bca8a291e8ad2p-1}, {0x1.20b470c67c0d9p-1, 0x1.bbad11d5b3bb5p-1},
    {0x1.1e2ef3b3fb874p-1, 0x1.bab4427b73014p-1}, {0x1.1bb4a4046ed29p-1, 0x1.b9be26b9e28a6p-1},
    {0x1.19453808ca29cp-1, 0x1.b8cab12a84fdfp-1}, {0x1.16e0689427379p-1, 0x1.b7d9d4c60e0ccp-1},
    {0x1.1485f0e0acd3bp-1, 0x1.b6eb84e0f5a67p-1}, {0x1.12358e75d3033p-1, 0x1.b5ffb52831d3dp-1},
    {0x1.0fef010fef011p-1, 0x1.b516599e1532cp-1}, {0x1.0db20a88f4696p-1, 0x1.b42f6697502f7p-1},
    {0x1.0b7e6ec259dc8p-1, 0x1.b34ad0b813353p-1}, {0x1.0953f39010954p-1, 0x1.b2688cf15028dp-1},
    {0x1.073260a47f7c6p-1, 0x1.b188907e199a6p-1}, {0x1.05197f7d73404p-1, 0x1.b0aad0e11e319p-1},
    {0x1.03091b51f5e1ap-1, 0x1.afcf43e23eef5p-1}, {0x1.010101010101p-1, 0x1.aef5df8c3ef22p-1},
};

// 2^(-k/4), k = 0..3, the nearest double.
inline constexpr double kQuarterPowers[4] = {0x1p+0, 0x1.ae89f995ad3adp-1, 0x1.6a09e667f3bcdp-1,
                                             0x1.306fe0a31b715p-1};

}  // namespace nemra_kernel::detail

#endif
