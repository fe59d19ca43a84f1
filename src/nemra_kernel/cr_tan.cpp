// Correctly rounded tan, and the fast path exposed to the tests that check its bound.
//
// Fast path: x = n pi/512 + r (reduceSmall / reduceLarge), n = k + 256 p (mod 512) with
// -128 <= k < 128 and p = 0 or 1, b = k pi/512, T = tan b from kTanTable (|T| <= 1, hi + lo within
// 2^-107 relative, Thh = Th rounded to 27 bits) and t = tan r: with N = T + t and D = 1 - T t,
// tan x = N/D when p = 0 and -D/N when p = 1 (tan(y + pi/2) = -1/tan y). Write u = 2^-53, r = rh
// + rl, |r| <= rho = pi/1024 (1 + 2^-29), rho^2 < 2^-16.69, |rl| <= 2^-32 |rh|.
//  - t = rh + tl, tl = (rl + z rl) + tp, tp = rh z (1/3 + 2/15 z + 17/315 z^2), z = rh^2: the
//    series truncates below 2^-72.3 |r|; |tp| <= 2^-18.28 |r|, and the roundings in tp (z, rh*z,
//    the constant and sum near 1/3, the product) are below 4.5u |tp| < 2^-69.11 |r|; rl's share
//    (1 + tan^2 rh) rl taken as (1 + z) rl errs by (2/3) rh^4 |rl| < 2^-77 |r| (|rl| < 2^-51.6 on
//    the Cody-Waite path, 2^-53 |rh| on the other); the sum rounds by u |tl| < 2^-71.28 |r|. So
//    |tl' - tl| < 2^-68.68 |r|.
//  - N: T + rh = sn exactly by Fast2Sum (|T| >= tan(pi/512) > rho unless T = 0); the addition of
//    tl to sn.lo + Tl rounds by 2^-71.28 |r| + 2^-104 |N|; the table 2^-106 |N|. And |r| <= |N|
//    (N = tan r when T = 0, otherwise |N| >= tan(pi/512) - tan rho > rho): |N' - N| < 2^-68.46 |N|.
//    The final Fast2Sum is exact.
//  - D: Thh*rhh is exact (27 + 26 bits) and 1 - Thh*rhh = sd exactly (Fast2Sum, |Thh rhh| < 1).
//    The rest, Thh rhl + (Th - Thh) rh + Tl rh + Th tl (Tl tl < 2^-79 dropped), consists of terms
//    below 2^-18 |T r| whose roundings and tl's error add less than 2^-68 |T r| < 2^-76.3; |D| >=
//    1 - 2^-8.35: relative 2^-76.
//  - Division of num by den (normalised pairs, N and D in either role): q0 = numh (1/denh) within
//    2.01u, qh = q0 rounded to 26 bits (Veltkamp), so qh = q (1 + eta), |eta| < 2^-25.99; dhh =
//    denh to 26 bits. qh*dhh is exact and within 2^-24.9 of numh, so numh - qh*dhh is exact
//    (Sterbenz); qh*(denh - dhh) is exact (26 + 27 bits); the three following additions each
//    round by u 2^-23.9 |num|: rem = num - qh den within 2^-75.3 |num|. ql = rem (1/denh): the
//    quotient's rounding, the product's and denl left out (3.01u) on |ql| < 2^-23.9 |q|: 2^-75.3
//    |q|. Division in all: 2^-74.3 |q|.
// Total: 2^-68.46 + 2^-76 + 2^-74.3 < 2^-68.37 relative (to q or, within 2^-26, qh), so the bound
// used is 0x1.bp-69 |qh| (2^-68.24). The reduction's error delta moves tan by (1 + tan^2) delta:
// red.err (1 + qh^2) (1 + 2^-40), and its relative part 2^-103 |r| (1 + q^2) <= 2^-101.9 |q| is
// inside the margin (2^-71.8 |q|), as is the Cody-Waite path's whole error (below 2^-83.6 |q|,
// see reduceSmall).
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/cr_trig.hpp>

namespace nemra_kernel {

namespace {

using detail::absd;
using detail::DoubleDouble;

// tan(k pi/512) for k = -128..127 (entry k + 128) as double-double (hi, lo), within 2^-107
// relative, and hi rounded to 27 significant bits (hh).
struct TanEntry {
  double hi, lo, hh;
};
alignas(64) constexpr TanEntry kTanTable[256] = {
    {-0x1p+0, 0x0p+0, -0x1p+0},
    {-0x1.f9c14b45dc42p-1, 0x1.63135ab2a81b3p-56, -0x1.f9c14b4p-1},
    {-0x1.f395d9f0e3c92p-1, 0x1.47d150a88aa18p-58, -0x1.f395dap-1},
    {-0x1.ed7d35814a2b6p-1, 0x1.8e4aaf286f348p-55, -0x1.ed7d358p-1},
    {-0x1.e776eafc91706p-1, -0x1.915eabb7f20cbp-55, -0x1.e776ebp-1},
    {-0x1.e1828acb73edep-1, -0x1.4ffd4fb869fc6p-55, -0x1.e1828acp-1},
    {-0x1.db9fa89953fcfp-1, -0x1.bd3a07e67cab7p-61, -0x1.db9fa88p-1},
    {-0x1.d5cddb351d4e5p-1, 0x1.aaeb45277878ap-55, -0x1.d5cddb4p-1},
    {-0x1.d00cbc7384d2ep-1, -0x1.8dcad85e60fbep-56, -0x1.d00cbc8p-1},
    {-0x1.ca5be912954bp-1, -0x1.426f1a2e2a8c6p-59, -0x1.ca5be9p-1},
    {-0x1.c4bb009e77983p-1, 0x1.2f33321f26146p-58, -0x1.c4bb008p-1},
    {-0x1.bf29a55766e72p-1, -0x1.609cf3f0939dap-57, -0x1.bf29a54p-1},
    {-0x1.b9a77c18c1af2p-1, -0x1.6fc7e578d57abp-56, -0x1.b9a77cp-1},
    {-0x1.b4342c41295eep-1, -0x1.69cd436f4f318p-55, -0x1.b4342c4p-1},
    {-0x1.aecf5f9ba35a6p-1, -0x1.5b5f994ac2a63p-59, -0x1.aecf5f8p-1},
    {-0x1.a978c249aeacdp-1, 0x1.a6575846a4497p-55, -0x1.a978c24p-1},
    {-0x1.a43002ae4285p-1, 0x1.a6db80fe796fep-56, -0x1.a43002cp-1},
    {-0x1.9ef4d159aa3acp-1, -0x1.ed6874956fde5p-56, -0x1.9ef4d14p-1},
    {-0x1.99c6e0f634394p-1, -0x1.1a76b9103fbfap-55, -0x1.99c6e1p-1},
    {-0x1.94a5e635a9befp-1, -0x1.dfd6d20097b8p-55, -0x1.94a5e64p-1},
    {-0x1.8f9197bf85eebp-1, 0x1.78bf71a952738p-56, -0x1.8f9197cp-1},
    {-0x1.8a89ae1fe32fdp-1, -0x1.88ef6938a6827p-56, -0x1.8a89aep-1},
    {-0x1.858de3b716571p-1, -0x1.c682666d6d8c7p-55, -0x1.858de3cp-1},
    {-0x1.809df4a9ef84p-1, -0x1.94f63253403fap-56, -0x1.809df4cp-1},
    {-0x1.7bb99ed2990cfp-1, 0x1.aa7538e44e996p-55, -0x1.7bb99ecp-1},
    {-0x1.76e0a1b20d38cp-1, 0x1.705787694f1ffp-57, -0x1.76e0a1cp-1},
    {-0x1.7212be621be6dp-1, -0x1.ad52a614d0f8ep-55, -0x1.7212be8p-1},
    {-0x1.6d4fb787f99f3p-1, 0x1.5e3a5c2f2cb5ap-56, -0x1.6d4fb78p-1},
    {-0x1.6897514751db6p-1, -0x1.439bc2d43ebfcp-56, -0x1.6897514p-1},
    {-0x1.63e95135d6a93p-1, 0x1.6133d5b89604ep-55, -0x1.63e9514p-1},
    {-0x1.5f457e4f4812ep-1, -0x1.f71fdb590c2bap-55, -0x1.5f457e4p-1},
    {-0x1.5aaba0e9ee02ep-1, 0x1.466b27a6d9111p-56, -0x1.5aaba1p-1},
    {-0x1.561b82ab7f99p-1, -0x1.7a8c52172b675p-55, -0x1.561b82cp-1},
    {-0x1.5194ee7e732b8p-1, 0x1.50e0626be2dc1p-63, -0x1.5194ee8p-1},
    {-0x1.4d17b087b265dp-1, 0x1.885b7a8a267fbp-56, -0x1.4d17b08p-1},
    {-0x1.48a3961cae342p-1, 0x1.68e102cc0e053p-55, -0x1.48a396p-1},
    {-0x1.44386db9ce5dbp-1, 0x1.a7d457cee5076p-55, -0x1.44386dcp-1},
    {-0x1.3fd606f938e45p-1, 0x1.ab10eaaa991fp-57, -0x1.3fd607p-1},
    {-0x1.3b7c3289ed6f3p-1, 0x1.c4afc9c7cbe7ep-55, -0x1.3b7c328p-1},
    {-0x1.372ac22731344p-1, -0x1.52f535e42ee64p-58, -0x1.372ac24p-1},
    {-0x1.32e1889047ffdp-1, 0x1.10b4421e6a4f8p-55, -0x1.32e1888p-1},
    {-0x1.2ea059807720bp-1, -0x1.0e4b1a5870969p-55, -0x1.2ea0598p-1},
    {-0x1.2a6709a74f289p-1, -0x1.6e6d4a65123b1p-56, -0x1.2a6709cp-1},
    {-0x1.26356ea13991fp-1, -0x1.cf5865324214cp-58, -0x1.26356ecp-1},
    {-0x1.220b5ef047825p-1, -0x1.aed6fb930f332p-58, -0x1.220b5fp-1},
    {-0x1.1de8b1f53efe6p-1, 0x1.34db022a94b28p-56, -0x1.1de8b2p-1},
    {-0x1.19cd3fe8e405dp-1, 0x1.4e47e0a655706p-55, -0x1.19cd4p-1},
    {-0x1.15b8e1d57b2ap-1, -0x1.08a4589c4729bp-58, -0x1.15b8e1cp-1},
    {-0x1.11ab7190834ecp-1, 0x1.e564bcd1e635dp-55, -0x1.11ab718p-1},
    {-0x1.0da4c9b4a45e5p-1, 0x1.0def876861019p-57, -0x1.0da4c9cp-1},
    {-0x1.09a4c59bd0d4dp-1, 0x1.50ca527eaf477p-59, -0x1.09a4c58p-1},
    {-0x1.05ab4159981ccp-1, 0x1.35f29ac112948p-61, -0x1.05ab414p-1},
    {-0x1.01b819b5a7cf7p-1, -0x1.0bfceebbe8797p-55, -0x1.01b819cp-1},
    {-0x1.fb96584cf400cp-2, -0x1.c5f10532fd243p-57, -0x1.fb96584p-2},
    {-0x1.f3c8ad985d9eep-2, -0x1.56988da4c4bacp-59, -0x1.f3c8ad8p-2},
    {-0x1.ec06f0d71f23cp-2, 0x1.db6f860989f83p-56, -0x1.ec06f0cp-2},
    {-0x1.e450e0d273e7ap-2, -0x1.41522f15e53c5p-56, -0x1.e450e0cp-2},
    {-0x1.dca63d89e30d4p-2, 0x1.ff18c18d04637p-56, -0x1.dca63d8p-2},
    {-0x1.d506c82a2c8p-2, -0x1.e19808ba6ac14p-57, -0x1.d506c84p-2},
    {-0x1.cd7243047cff2p-2, -0x1.89c1387d40656p-56, -0x1.cd7243p-2},
    {-0x1.c5e87185e67b6p-2, -0x1.ff57fa14eec2fp-59, -0x1.c5e8718p-2},
    {-0x1.be69182f1a2d9p-2, 0x1.ebf8a40d0c6a8p-56, -0x1.be69184p-2},
    {-0x1.b6f3fc8c61e5bp-2, 0x1.a1a6ac60f81efp-57, -0x1.b6f3fc8p-2},
    {-0x1.af88e52dd62dbp-2, -0x1.2c894893bfd9ep-56, -0x1.af88e54p-2},
    {-0x1.a827999fcef32p-2, -0x1.08b2fb1366ea9p-56, -0x1.a827998p-2},
    {-0x1.a0cfe2638c83bp-2, -0x1.5d54f80edaf7dp-58, -0x1.a0cfe28p-2},
    {-0x1.998188e816bfp-2, -0x1.3dc181e8f9a99p-56, -0x1.998189p-2},
    {-0x1.923c57835075bp-2, -0x1.a89d143f62bf4p-58, -0x1.923c578p-2},
    {-0x1.8b00196b3d022p-2, 0x1.7327a64e1229dp-57, -0x1.8b00198p-2},
    {-0x1.83cc9aaf763bdp-2, 0x1.c46bf2e4a90bap-56, -0x1.83cc9acp-2},
    {-0x1.7ca1a832d0f84p-2, 0x1.ee4e2b216ab8cp-56, -0x1.7ca1a84p-2},
    {-0x1.757f0fa52e5eap-2, 0x1.91fe359dd101ap-57, -0x1.757f0fcp-2},
    {-0x1.6e649f7d78649p-2, -0x1.78e945dc3913cp-57, -0x1.6e649f8p-2},
    {-0x1.675226f3c7da8p-2, -0x1.b57c0df58546cp-56, -0x1.675227p-2},
    {-0x1.604775fbb27dfp-2, -0x1.ac77af460d60ap-57, -0x1.604776p-2},
    {-0x1.59445d3ebf968p-2, -0x1.f72abea6f5227p-56, -0x1.59445d4p-2},
    {-0x1.5248ae1701b17p-2, -0x1.be976387851c1p-56, -0x1.5248aep-2},
    {-0x1.4b543a89d41bcp-2, 0x1.acd0e4c5da89cp-57, -0x1.4b543a8p-2},
    {-0x1.4466d542bac92p-2, 0x1.04fe7bde135dfp-56, -0x1.4466d54p-2},
    {-0x1.3d80518e6361fp-2, -0x1.227debef74457p-60, -0x1.3d80518p-2},
    {-0x1.36a08355c63dcp-2, 0x1.d704d1bfdb6e8p-57, -0x1.36a0834p-2},
    {-0x1.2fc73f19661bap-2, -0x1.556b3ac8066d3p-56, -0x1.2fc73fp-2},
    {-0x1.28f459ecad74dp-2, -0x1.0336036e321e9p-60, -0x1.28f45ap-2},
    {-0x1.2227a971684eep-2, 0x1.55ab4c276dcdbp-57, -0x1.2227a98p-2},
    {-0x1.1b6103d3597e9p-2, -0x1.cbda4f63658ap-57, -0x1.1b6103cp-2},
    {-0x1.14a03fc3ea543p-2, 0x1.cbb61a2077508p-62, -0x1.14a03fcp-2},
    {-0x1.0de53475f3b3cp-2, -0x1.7b35cc20fc4bp-57, -0x1.0de5348p-2},
    {-0x1.072fb9999fa4ap-2, 0x1.493c741349565p-56, -0x1.072fb98p-2},
    {-0x1.007fa758626aep-2, -0x1.5a6d6c3c8b6a7p-57, -0x1.007fa74p-2},
    {-0x1.f3a9aca2148cfp-3, 0x1.796ce5d7450cp-57, -0x1.f3a9accp-3},
    {-0x1.e65e3f27c9f2ap-3, -0x1.f636049d8d81p-57, -0x1.e65e3f4p-3},
    {-0x1.d91cb93df47ebp-3, -0x1.b6a75472016f1p-57, -0x1.d91cb94p-3},
    {-0x1.cbe4ceb4b4cf2p-3, -0x1.4a5be32c624f4p-57, -0x1.cbe4cecp-3},
    {-0x1.beb63429008cp-3, 0x1.6a7062ee4e093p-58, -0x1.beb6344p-3},
    {-0x1.b1909efd8b762p-3, -0x1.8448dfdb1cb08p-58, -0x1.b1909fp-3},
    {-0x1.a473c553d4277p-3, -0x1.fb2a237303741p-58, -0x1.a473c54p-3},
    {-0x1.975f5e0553158p-3, -0x1.ef5d367441946p-61, -0x1.975f5ep-3},
    {-0x1.8a53209cca73p-3, -0x1.d46dbc1dab441p-58, -0x1.8a53208p-3},
    {-0x1.7d4ec54fb5968p-3, -0x1.fb9248f211674p-59, -0x1.7d4ec54p-3},
    {-0x1.705204f7d6965p-3, 0x1.dc1a13f73a98ap-57, -0x1.705205p-3},
    {-0x1.635c990ce0d36p-3, 0x1.9debab5988b6bp-58, -0x1.635c99p-3},
    {-0x1.566e3b9e3f35dp-3, -0x1.2e02f2f8066cep-58, -0x1.566e3b8p-3},
    {-0x1.4986a74cf4e57p-3, -0x1.9ab2dced77971p-57, -0x1.4986a74p-3},
    {-0x1.3ca597459751dp-3, 0x1.e486883e3d808p-58, -0x1.3ca5974p-3},
    {-0x1.2fcac73a6064p-3, -0x1.2cfb5a746f62cp-58, -0x1.2fcac74p-3},
    {-0x1.22f5f35d57bcdp-3, 0x1.47c5ee6b78bcbp-58, -0x1.22f5f34p-3},
    {-0x1.1626d85a91e7p-3, 0x1.007bfc8d53bd6p-58, -0x1.1626d84p-3},
    {-0x1.095d3352846e3p-3, -0x1.00606a68580acp-57, -0x1.095d334p-3},
    {-0x1.f93183a8db9e9p-4, 0x1.12206d2ac3013p-59, -0x1.f93183cp-4},
    {-0x1.dfb283b1a07bbp-4, 0x1.716abf69a1c1p-61, -0x1.dfb283cp-4},
    {-0x1.c63ce377fc802p-4, 0x1.43faadb4fa996p-58, -0x1.c63ce38p-4},
    {-0x1.acd02071704d7p-4, -0x1.6a6ba636596dep-58, -0x1.acd0208p-4},
    {-0x1.936bb8c5b2da2p-4, -0x1.87d054f689d7ap-58, -0x1.936bb8cp-4},
    {-0x1.7a0f2b442a1f8p-4, 0x1.c78d625305992p-58, -0x1.7a0f2b4p-4},
    {-0x1.60b9f7597fdecp-4, -0x1.d22b8ec11f006p-60, -0x1.60b9f74p-4},
    {-0x1.476b9d0550adep-4, 0x1.8cc6762622703p-61, -0x1.476b9dp-4},
    {-0x1.2e239ccff3831p-4, -0x1.87a2cb08f812cp-58, -0x1.2e239ccp-4},
    {-0x1.14e177c057ff5p-4, 0x1.883b2ceaebf19p-58, -0x1.14e177cp-4},
    {-0x1.f7495ea3f3783p-5, 0x1.07ea8d1aa6faep-59, -0x1.f7495ecp-5},
    {-0x1.c4d98ad5cdd2ap-5, -0x1.577a7db1fa2f7p-59, -0x1.c4d98acp-5},
    {-0x1.927278a3b1162p-5, -0x1.ada13ceebab9dp-64, -0x1.927278cp-5},
    {-0x1.60132d48b55c3p-5, 0x1.42748a271412p-59, -0x1.60132d4p-5},
    {-0x1.2dbaae9a05dbp-5, 0x1.3753f24c8eeb4p-59, -0x1.2dbaae8p-5},
    {-0x1.f6d005e6cea06p-6, 0x1.fa98f10d612ecp-60, -0x1.f6d006p-6},
    {-0x1.92346247a91fp-6, 0x1.13b5915a8e316p-64, -0x1.9234624p-6},
    {-0x1.2da080b45c00cp-6, -0x1.59a58dd2e02d8p-62, -0x1.2da080cp-6},
    {-0x1.9224e047e368ep-7, 0x1.a3da9c08120b7p-62, -0x1.9224e04p-7},
    {-0x1.9221000157a0fp-8, 0x1.9c58180d640dap-63, -0x1.9221p-8},
    {0x0p+0, 0x0p+0, 0x0p+0},
    {0x1.9221000157a0fp-8, -0x1.9c58180d640dap-63, 0x1.9221p-8},
    {0x1.9224e047e368ep-7, -0x1.a3da9c08120b7p-62, 0x1.9224e04p-7},
    {0x1.2da080b45c00cp-6, 0x1.59a58dd2e02d8p-62, 0x1.2da080cp-6},
    {0x1.92346247a91fp-6, -0x1.13b5915a8e316p-64, 0x1.9234624p-6},
    {0x1.f6d005e6cea06p-6, -0x1.fa98f10d612ecp-60, 0x1.f6d006p-6},
    {0x1.2dbaae9a05dbp-5, -0x1.3753f24c8eeb4p-59, 0x1.2dbaae8p-5},
    {0x1.60132d48b55c3p-5, -0x1.42748a271412p-59, 0x1.60132d4p-5},
    {0x1.927278a3b1162p-5, 0x1.ada13ceebab9dp-64, 0x1.927278cp-5},
    {0x1.c4d98ad5cdd2ap-5, 0x1.577a7db1fa2f7p-59, 0x1.c4d98acp-5},
    {0x1.f7495ea3f3783p-5, -0x1.07ea8d1aa6faep-59, 0x1.f7495ecp-5},
    {0x1.14e177c057ff5p-4, -0x1.883b2ceaebf19p-58, 0x1.14e177cp-4},
    {0x1.2e239ccff3831p-4, 0x1.87a2cb08f812cp-58, 0x1.2e239ccp-4},
    {0x1.476b9d0550adep-4, -0x1.8cc6762622703p-61, 0x1.476b9dp-4},
    {0x1.60b9f7597fdecp-4, 0x1.d22b8ec11f006p-60, 0x1.60b9f74p-4},
    {0x1.7a0f2b442a1f8p-4, -0x1.c78d625305992p-58, 0x1.7a0f2b4p-4},
    {0x1.936bb8c5b2da2p-4, 0x1.87d054f689d7ap-58, 0x1.936bb8cp-4},
    {0x1.acd02071704d7p-4, 0x1.6a6ba636596dep-58, 0x1.acd0208p-4},
    {0x1.c63ce377fc802p-4, -0x1.43faadb4fa996p-58, 0x1.c63ce38p-4},
    {0x1.dfb283b1a07bbp-4, -0x1.716abf69a1c1p-61, 0x1.dfb283cp-4},
    {0x1.f93183a8db9e9p-4, -0x1.12206d2ac3013p-59, 0x1.f93183cp-4},
    {0x1.095d3352846e3p-3, 0x1.00606a68580acp-57, 0x1.095d334p-3},
    {0x1.1626d85a91e7p-3, -0x1.007bfc8d53bd6p-58, 0x1.1626d84p-3},
    {0x1.22f5f35d57bcdp-3, -0x1.47c5ee6b78bcbp-58, 0x1.22f5f34p-3},
    {0x1.2fcac73a6064p-3, 0x1.2cfb5a746f62cp-58, 0x1.2fcac74p-3},
    {0x1.3ca597459751dp-3, -0x1.e486883e3d808p-58, 0x1.3ca5974p-3},
    {0x1.4986a74cf4e57p-3, 0x1.9ab2dced77971p-57, 0x1.4986a74p-3},
    {0x1.566e3b9e3f35dp-3, 0x1.2e02f2f8066cep-58, 0x1.566e3b8p-3},
    {0x1.635c990ce0d36p-3, -0x1.9debab5988b6bp-58, 0x1.635c99p-3},
    {0x1.705204f7d6965p-3, -0x1.dc1a13f73a98ap-57, 0x1.705205p-3},
    {0x1.7d4ec54fb5968p-3, 0x1.fb9248f211674p-59, 0x1.7d4ec54p-3},
    {0x1.8a53209cca73p-3, 0x1.d46dbc1dab441p-58, 0x1.8a53208p-3},
    {0x1.975f5e0553158p-3, 0x1.ef5d367441946p-61, 0x1.975f5ep-3},
    {0x1.a473c553d4277p-3, 0x1.fb2a237303741p-58, 0x1.a473c54p-3},
    {0x1.b1909efd8b762p-3, 0x1.8448dfdb1cb08p-58, 0x1.b1909fp-3},
    {0x1.beb63429008cp-3, -0x1.6a7062ee4e093p-58, 0x1.beb6344p-3},
    {0x1.cbe4ceb4b4cf2p-3, 0x1.4a5be32c624f4p-57, 0x1.cbe4cecp-3},
    {0x1.d91cb93df47ebp-3, 0x1.b6a75472016f1p-57, 0x1.d91cb94p-3},
    {0x1.e65e3f27c9f2ap-3, 0x1.f636049d8d81p-57, 0x1.e65e3f4p-3},
    {0x1.f3a9aca2148cfp-3, -0x1.796ce5d7450cp-57, 0x1.f3a9accp-3},
    {0x1.007fa758626aep-2, 0x1.5a6d6c3c8b6a7p-57, 0x1.007fa74p-2},
    {0x1.072fb9999fa4ap-2, -0x1.493c741349565p-56, 0x1.072fb98p-2},
    {0x1.0de53475f3b3cp-2, 0x1.7b35cc20fc4bp-57, 0x1.0de5348p-2},
    {0x1.14a03fc3ea543p-2, -0x1.cbb61a2077508p-62, 0x1.14a03fcp-2},
    {0x1.1b6103d3597e9p-2, 0x1.cbda4f63658ap-57, 0x1.1b6103cp-2},
    {0x1.2227a971684eep-2, -0x1.55ab4c276dcdbp-57, 0x1.2227a98p-2},
    {0x1.28f459ecad74dp-2, 0x1.0336036e321e9p-60, 0x1.28f45ap-2},
    {0x1.2fc73f19661bap-2, 0x1.556b3ac8066d3p-56, 0x1.2fc73fp-2},
    {0x1.36a08355c63dcp-2, -0x1.d704d1bfdb6e8p-57, 0x1.36a0834p-2},
    {0x1.3d80518e6361fp-2, 0x1.227debef74457p-60, 0x1.3d80518p-2},
    {0x1.4466d542bac92p-2, -0x1.04fe7bde135dfp-56, 0x1.4466d54p-2},
    {0x1.4b543a89d41bcp-2, -0x1.acd0e4c5da89cp-57, 0x1.4b543a8p-2},
    {0x1.5248ae1701b17p-2, 0x1.be976387851c1p-56, 0x1.5248aep-2},
    {0x1.59445d3ebf968p-2, 0x1.f72abea6f5227p-56, 0x1.59445d4p-2},
    {0x1.604775fbb27dfp-2, 0x1.ac77af460d60ap-57, 0x1.604776p-2},
    {0x1.675226f3c7da8p-2, 0x1.b57c0df58546cp-56, 0x1.675227p-2},
    {0x1.6e649f7d78649p-2, 0x1.78e945dc3913cp-57, 0x1.6e649f8p-2},
    {0x1.757f0fa52e5eap-2, -0x1.91fe359dd101ap-57, 0x1.757f0fcp-2},
    {0x1.7ca1a832d0f84p-2, -0x1.ee4e2b216ab8cp-56, 0x1.7ca1a84p-2},
    {0x1.83cc9aaf763bdp-2, -0x1.c46bf2e4a90bap-56, 0x1.83cc9acp-2},
    {0x1.8b00196b3d022p-2, -0x1.7327a64e1229dp-57, 0x1.8b00198p-2},
    {0x1.923c57835075bp-2, 0x1.a89d143f62bf4p-58, 0x1.923c578p-2},
    {0x1.998188e816bfp-2, 0x1.3dc181e8f9a99p-56, 0x1.998189p-2},
    {0x1.a0cfe2638c83bp-2, 0x1.5d54f80edaf7dp-58, 0x1.a0cfe28p-2},
    {0x1.a827999fcef32p-2, 0x1.08b2fb1366ea9p-56, 0x1.a827998p-2},
    {0x1.af88e52dd62dbp-2, 0x1.2c894893bfd9ep-56, 0x1.af88e54p-2},
    {0x1.b6f3fc8c61e5bp-2, -0x1.a1a6ac60f81efp-57, 0x1.b6f3fc8p-2},
    {0x1.be69182f1a2d9p-2, -0x1.ebf8a40d0c6a8p-56, 0x1.be69184p-2},
    {0x1.c5e87185e67b6p-2, 0x1.ff57fa14eec2fp-59, 0x1.c5e8718p-2},
    {0x1.cd7243047cff2p-2, 0x1.89c1387d40656p-56, 0x1.cd7243p-2},
    {0x1.d506c82a2c8p-2, 0x1.e19808ba6ac14p-57, 0x1.d506c84p-2},
    {0x1.dca63d89e30d4p-2, -0x1.ff18c18d04637p-56, 0x1.dca63d8p-2},
    {0x1.e450e0d273e7ap-2, 0x1.41522f15e53c5p-56, 0x1.e450e0cp-2},
    {0x1.ec06f0d71f23cp-2, -0x1.db6f860989f83p-56, 0x1.ec06f0cp-2},
    {0x1.f3c8ad985d9eep-2, 0x1.56988da4c4bacp-59, 0x1.f3c8ad8p-2},
    {0x1.fb96584cf400cp-2, 0x1.c5f10532fd243p-57, 0x1.fb96584p-2},
    {0x1.01b819b5a7cf7p-1, 0x1.0bfceebbe8797p-55, 0x1.01b819cp-1},
    {0x1.05ab4159981ccp-1, -0x1.35f29ac112948p-61, 0x1.05ab414p-1},
    {0x1.09a4c59bd0d4dp-1, -0x1.50ca527eaf477p-59, 0x1.09a4c58p-1},
    {0x1.0da4c9b4a45e5p-1, -0x1.0def876861019p-57, 0x1.0da4c9cp-1},
    {0x1.11ab7190834ecp-1, -0x1.e564bcd1e635dp-55, 0x1.11ab718p-1},
    {0x1.15b8e1d57b2ap-1, 0x1.08a4589c4729bp-58, 0x1.15b8e1cp-1},
    {0x1.19cd3fe8e405dp-1, -0x1.4e47e0a655706p-55, 0x1.19cd4p-1},
    {0x1.1de8b1f53efe6p-1, -0x1.34db022a94b28p-56, 0x1.1de8b2p-1},
    {0x1.220b5ef047825p-1, 0x1.aed6fb930f332p-58, 0x1.220b5fp-1},
    {0x1.26356ea13991fp-1, 0x1.cf5865324214cp-58, 0x1.26356ecp-1},
    {0x1.2a6709a74f289p-1, 0x1.6e6d4a65123b1p-56, 0x1.2a6709cp-1},
    {0x1.2ea059807720bp-1, 0x1.0e4b1a5870969p-55, 0x1.2ea0598p-1},
    {0x1.32e1889047ffdp-1, -0x1.10b4421e6a4f8p-55, 0x1.32e1888p-1},
    {0x1.372ac22731344p-1, 0x1.52f535e42ee64p-58, 0x1.372ac24p-1},
    {0x1.3b7c3289ed6f3p-1, -0x1.c4afc9c7cbe7ep-55, 0x1.3b7c328p-1},
    {0x1.3fd606f938e45p-1, -0x1.ab10eaaa991fp-57, 0x1.3fd607p-1},
    {0x1.44386db9ce5dbp-1, -0x1.a7d457cee5076p-55, 0x1.44386dcp-1},
    {0x1.48a3961cae342p-1, -0x1.68e102cc0e053p-55, 0x1.48a396p-1},
    {0x1.4d17b087b265dp-1, -0x1.885b7a8a267fbp-56, 0x1.4d17b08p-1},
    {0x1.5194ee7e732b8p-1, -0x1.50e0626be2dc1p-63, 0x1.5194ee8p-1},
    {0x1.561b82ab7f99p-1, 0x1.7a8c52172b675p-55, 0x1.561b82cp-1},
    {0x1.5aaba0e9ee02ep-1, -0x1.466b27a6d9111p-56, 0x1.5aaba1p-1},
    {0x1.5f457e4f4812ep-1, 0x1.f71fdb590c2bap-55, 0x1.5f457e4p-1},
    {0x1.63e95135d6a93p-1, -0x1.6133d5b89604ep-55, 0x1.63e9514p-1},
    {0x1.6897514751db6p-1, 0x1.439bc2d43ebfcp-56, 0x1.6897514p-1},
    {0x1.6d4fb787f99f3p-1, -0x1.5e3a5c2f2cb5ap-56, 0x1.6d4fb78p-1},
    {0x1.7212be621be6dp-1, 0x1.ad52a614d0f8ep-55, 0x1.7212be8p-1},
    {0x1.76e0a1b20d38cp-1, -0x1.705787694f1ffp-57, 0x1.76e0a1cp-1},
    {0x1.7bb99ed2990cfp-1, -0x1.aa7538e44e996p-55, 0x1.7bb99ecp-1},
    {0x1.809df4a9ef84p-1, 0x1.94f63253403fap-56, 0x1.809df4cp-1},
    {0x1.858de3b716571p-1, 0x1.c682666d6d8c7p-55, 0x1.858de3cp-1},
    {0x1.8a89ae1fe32fdp-1, 0x1.88ef6938a6827p-56, 0x1.8a89aep-1},
    {0x1.8f9197bf85eebp-1, -0x1.78bf71a952738p-56, 0x1.8f9197cp-1},
    {0x1.94a5e635a9befp-1, 0x1.dfd6d20097b8p-55, 0x1.94a5e64p-1},
    {0x1.99c6e0f634394p-1, 0x1.1a76b9103fbfap-55, 0x1.99c6e1p-1},
    {0x1.9ef4d159aa3acp-1, 0x1.ed6874956fde5p-56, 0x1.9ef4d14p-1},
    {0x1.a43002ae4285p-1, -0x1.a6db80fe796fep-56, 0x1.a43002cp-1},
    {0x1.a978c249aeacdp-1, -0x1.a6575846a4497p-55, 0x1.a978c24p-1},
    {0x1.aecf5f9ba35a6p-1, 0x1.5b5f994ac2a63p-59, 0x1.aecf5f8p-1},
    {0x1.b4342c41295eep-1, 0x1.69cd436f4f318p-55, 0x1.b4342c4p-1},
    {0x1.b9a77c18c1af2p-1, 0x1.6fc7e578d57abp-56, 0x1.b9a77cp-1},
    {0x1.bf29a55766e72p-1, 0x1.609cf3f0939dap-57, 0x1.bf29a54p-1},
    {0x1.c4bb009e77983p-1, -0x1.2f33321f26146p-58, 0x1.c4bb008p-1},
    {0x1.ca5be912954bp-1, 0x1.426f1a2e2a8c6p-59, 0x1.ca5be9p-1},
    {0x1.d00cbc7384d2ep-1, 0x1.8dcad85e60fbep-56, 0x1.d00cbc8p-1},
    {0x1.d5cddb351d4e5p-1, -0x1.aaeb45277878ap-55, 0x1.d5cddb4p-1},
    {0x1.db9fa89953fcfp-1, 0x1.bd3a07e67cab7p-61, 0x1.db9fa88p-1},
    {0x1.e1828acb73edep-1, 0x1.4ffd4fb869fc6p-55, 0x1.e1828acp-1},
    {0x1.e776eafc91706p-1, 0x1.915eabb7f20cbp-55, 0x1.e776ebp-1},
    {0x1.ed7d35814a2b6p-1, -0x1.8e4aaf286f348p-55, 0x1.ed7d358p-1},
    {0x1.f395d9f0e3c92p-1, -0x1.47d150a88aa18p-58, 0x1.f395dap-1},
    {0x1.f9c14b45dc42p-1, -0x1.63135ab2a81b3p-56, 0x1.f9c14b4p-1},
};

// tan x for the reduced argument, as hi + lo, with its error bound.
[[nodiscard]] [[gnu::always_inline]] inline detail::TrigFast tanFast(
    const detail::TrigReduced& red) noexcept {
  const double rh = red.rh, rl = red.rl;
  // a = n pi/512 = (k + 256 p) pi/512 with -128 <= k < 128, p = 0 or 1.
  const std::uint32_t m = (red.n + 128) & 511;
  const TanEntry& e = kTanTable[m & 255];
  const double c = 134217729.0 * rh;
  const double rhh = c - (c - rh);
  const double rhl = rh - rhh;
  const double z = rh * rh;
  const double tp =
      (rh * z) * (0x1.5555555555555p-2 + z * (0x1.1111111111111p-3 + z * 0x1.ba1ba1ba1ba1cp-5));
  // t = tan r = rh + tl.
  const double tl = (rl + z * rl) + tp;
  // N = T + t and D = 1 - T t, each normalised.
  const DoubleDouble sn = detail::fastTwoSum(e.hi, rh);
  const DoubleDouble n = detail::fastTwoSum(sn.hi, (sn.lo + e.lo) + tl);
  const DoubleDouble sd = detail::fastTwoSum(1.0, -(e.hh * rhh));
  const DoubleDouble d = detail::fastTwoSum(
      sd.hi, sd.lo - ((e.hh * rhl + (e.hi - e.hh) * rh) + (e.lo * rh + e.hi * tl)));
  // tan x = N/D, or -D/N a quarter turn further (p = 1).
  const bool p = m >= 256;
  const double numh = p ? -d.hi : n.hi;
  const double numl = p ? -d.lo : n.lo;
  const double denh = p ? n.hi : d.hi;
  const double denl = p ? n.lo : d.lo;
  const double inv = 1.0 / denh;
  const double q0 = numh * inv;
  const double cq = 134217729.0 * q0;
  const double qh = cq - (cq - q0);
  const double cd = 134217729.0 * denh;
  const double dhh = cd - (cd - denh);
  const double rem = (((numh - qh * dhh) - qh * (denh - dhh)) + numl) - qh * denl;
  // red.err is 0 on the Cody-Waite path: the compiler drops the term there.
  const double err = red.err == 0.0
                         ? 0x1.bp-69 * absd(qh)
                         : 0x1.bp-69 * absd(qh) + red.err * (1.0 + qh * qh) * (1.0 + 0x1p-40);
  return {{qh, rem * inv}, err};
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kTiny = 0x3E40000000000000u;   // 2^-27
constexpr std::uint64_t kLarge = 0x40D0000000000000u;  // 2^14

[[gnu::noinline]] double tanCold(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  if (abits < kTiny) return x;  // |x| < 2^-27: |tan x - x| < |x|^3/2.9, below a quarter ulp
  if (abits >= 0x7FF0000000000000u) return x - x;
  const double ax = std::bit_cast<double>(abits);
  const detail::TrigFast f = tanFast(detail::reduceTrig(ax));
  double t;
  if (!detail::roundsUnambiguously(f.v, f.err, &t)) t = detail::trigSlow(ax, 2);
  return (bits & kSignBit) != 0 ? -t : t;
}

}  // namespace

double cr::tan(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  detail::TrigReduced red;
  if (abits - kTiny < kLarge - kTiny && detail::reduceSmall(x, &red)) {
    const detail::TrigFast f = tanFast(red);
    double out;
    if (detail::roundsUnambiguously(f.v, f.err, &out)) return out;
  }
  return tanCold(x);
}

detail::TrigFast detail::trigFastForTest(double x, int fn) noexcept {
  const double ax = absd(x);
  TrigReduced red;
  if (ax < 0x1p14 && reduceSmall(x, &red))  // the public functions' first path, signed
    return fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  red = reduceTrig(ax);
  TrigFast f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  if (fn != 1 && x < 0.0) f.v = {-f.v.hi, -f.v.lo};
  return f;
}

}  // namespace nemra_kernel
