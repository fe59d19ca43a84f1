// Correctly rounded tan, and the fast path exposed to the tests that check its bound.
//
// Fast path: x = n pi/512 + r (reduceHot, or reduceSmall / reduceLarge), n = k + 256 p (mod 512)
// with -128 <= k < 128 and p = 0 or 1, b = k pi/512, T = tan b from kTanTable (|T| <= 1, hi + lo
// within 2^-107 relative, Thh = Th rounded to 27 bits) and t = tan r: with N = T + t and D = 1 - T
// t, tan x = N/D when p = 0 and -D/N when p = 1 (tan(y + pi/2) = -1/tan y). Write u = 2^-53, r = rh
// + rl, |r| <= rho = pi/1024 (1 + 2^-29), rho^2 < 2^-16.69, |rl| <= 2^-32 |rh|.
//  - t = rh + tl, tl = (rl + z rl) + tp, tp = t3 + rh z^2 (2/15 + 17/315 z), t3 = rh z/3, z =
//    rh^2: the series truncates below 2^-72.3 |r|; |tp| <= 2^-18.28 |r|, and the roundings in tp
//    (z, rh*z, the constant 1/3 and t3, the sum; the rest's, on 2^-18 of tp, are negligible) are
//    below 4.5u |tp| < 2^-69.11 |r|; rl's share (1 + tan^2 rh) rl taken as (1 + z) rl errs by
//    (2/3) rh^4 |rl| < 2^-76.7 |r| (|rl| < 2^-51.1 on the Cody-Waite path, 2^-53 |rh| on the
//    other); the sum rounds by u |tl| < 2^-71.28 |r|. So |tl' - tl| < 2^-68.68 |r|.
//  - N: T + rh = sn exactly by Fast2Sum (|T| >= tan(pi/512) > rho unless T = 0); the addition of
//    tl to sn.lo + Tl rounds by 2^-71.28 |r| + 2^-104 |N|; the table 2^-106 |N|. And |r| <= |N|
//    (N = tan r when T = 0, otherwise |N| >= tan(pi/512) - tan rho > rho): N = sn.hi + nl is
//    within 2^-68.46 |N|, not normalised (|nl| < 2^-18.2 |N|).
//  - D: Thh*rhh is exact (27 + 26 bits) and 1 - Thh*rhh = sd exactly (Fast2Sum, |Thh rhh| < 1).
//    The rest, dl = (sd.lo - (Thh rhl + C rh)) - Th tl with C = (Th - Thh) + Tl rounded in the
//    table (2^-80 |T|; Tl tl < 2^-79 dropped), consists of terms below 2^-18 |T r| whose
//    roundings and tl's error add less than 2^-68 |T r| < 2^-76.3; |D| >= 1 - 2^-8.35: D = sd.hi
//    + dl within 2^-76 |D|, |dl| < 2^-26.5 |D|.
//  - Early approximations for the quotient's head and the splits: t3 = rh z/3 within 4u, na =
//    sn.hi + t3 differs from N by (sn.lo + Tl) + rl (1 + z) + 2/15 rh^5 + ... and roundings:
//    within 2^-31.88 |N| (|t| <= |N| and |T| <= 2 |N|, as |T| >= 2 tan rho unless T = 0); da = 1 -
//    Th rh differs from D by T tl and roundings: within 2^-26.6 |D| (|T tl| < 2^-26.62, |D| >
//    0.99). Write num and den for N and D in their roles, numa and dena for their approximations
//    (den = dena (1 + delta), |delta| < 2^-26.6).
//  - Division: inv0 = 1/dena and q0 = numa inv0 are within 2^-26.56 of q = tan x, qh = q0
//    truncated to 26 bits, so qh = q (1 + eta), |eta| < 2^-25 + 2^-26.56 < 2^-24.58; dhh = dena
//    rounded to 26 bits (Veltkamp), within 2^-25.27 of den. qh*dhh is exact and within 2^-23.88
//    of num, and so of numh (within 2^-18.2), so numh - qh*dhh is exact (Sterbenz), as are denh -
//    dhh and denh - dena. Adding numl (a result below 2^-23.88 |num|) rounds by 2^-76.88 |num|;
//    dc = (denh - dhh) + denl (below 2^-25.27 |den|) by 2^-78.27 |den|, and so, times qh, qh*dc
//    and the last subtraction (whose result rem = num - qh den is below 2^-24.58 |num|) each by
//    2^-77.58 |num|: rem within 2^-75.37 |num|. inv = inv0 - inv0 (((denh - dena) + denl) inv0):
//    1/den within 2.9u (u each for inv0 and the subtraction, delta^2 < 2^-53.2), the product rem
//    inv adds u: 3.9u on |ql| < 2^-24.58 |q|, 2^-75.62 |q|. Division in all: 2^-74.49 |q|.
// Total: 2^-68.46 + 2^-76 + 2^-74.49 < 2^-68.42 relative (to q or, within 2^-24.58, qh), so the
// bound used is 0x1.bp-69 |qh| (2^-68.24). The rounding test adds qh to ql -+ err unnormalised:
// those two roundings, below 2^-76.5 |q|, are inside the margin. The reduction's error delta moves
// tan by (1 + tan^2) delta: red.err (1 + qh^2) (1 + 2^-40), and its relative part 2^-103 |r| (1 +
// q^2) <= 2^-101.9 |q| is inside the margin (2^-71.5 |q|), as is the Cody-Waite path's whole error
// (below 2^-83.6 |q|, see reduceSmall).
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/cr_trig.hpp>

namespace nemra_kernel {

namespace {

using detail::absd;
using detail::DoubleDouble;

// tan(k pi/512) for k = -128..127 (entry k + 128) as double-double (hi, lo), within 2^-107
// relative, hi rounded to 27 significant bits (hh), and the rest (hi - hh) + lo rounded (c).
struct TanEntry {
  double hi, lo, hh, c;
};
alignas(64) constexpr TanEntry kTanTable[256] = {
    {-0x1.0000000000000p+0, 0x0.0p+0, -0x1.0000000000000p+0, 0x0.0p+0},
    {-0x1.f9c14b45dc420p-1, 0x1.63135ab2a81b3p-56, -0x1.f9c14b4000000p-1, -0x1.77107f4e7652ap-31},
    {-0x1.f395d9f0e3c92p-1, 0x1.47d150a88aa18p-58, -0x1.f395da0000000p-1, 0x1.e386dc147d151p-30},
    {-0x1.ed7d35814a2b6p-1, 0x1.8e4aaf286f348p-55, -0x1.ed7d358000000p-1, -0x1.4a2b59c6d5436p-33},
    {-0x1.e776eafc91706p-1, -0x1.915eabb7f20cbp-55, -0x1.e776eb0000000p-1, 0x1.b747ccdd42a89p-32},
    {-0x1.e1828acb73edep-1, -0x1.4ffd4fb869fc6p-55, -0x1.e1828ac000000p-1, -0x1.6e7dbca7fea7ep-30},
    {-0x1.db9fa89953fcfp-1, -0x1.bd3a07e67cab7p-61, -0x1.db9fa88000000p-1, -0x1.953fcf01bd3a0p-29},
    {-0x1.d5cddb351d4e5p-1, 0x1.aaeb45277878ap-55, -0x1.d5cddb4000000p-1, 0x1.5c5636d575a29p-30},
    {-0x1.d00cbc7384d2ep-1, -0x1.8dcad85e60fbep-56, -0x1.d00cbc8000000p-1, 0x1.8f65a39c8d49fp-30},
    {-0x1.ca5be912954b0p-1, -0x1.426f1a2e2a8c6p-59, -0x1.ca5be90000000p-1, -0x1.2954b00509bc7p-29},
    {-0x1.c4bb009e77983p-1, 0x1.2f33321f26146p-58, -0x1.c4bb008000000p-1, -0x1.e77982f686667p-29},
    {-0x1.bf29a55766e72p-1, -0x1.609cf3f0939dap-57, -0x1.bf29a54000000p-1, -0x1.766e721609cf4p-29},
    {-0x1.b9a77c18c1af2p-1, -0x1.6fc7e578d57abp-56, -0x1.b9a77c0000000p-1, -0x1.8c1af22df8fcbp-29},
    {-0x1.b4342c41295eep-1, -0x1.69cd436f4f318p-55, -0x1.b4342c4000000p-1, -0x1.295ee5a7350dcp-33},
    {-0x1.aecf5f9ba35a6p-1, -0x1.5b5f994ac2a63p-59, -0x1.aecf5f8000000p-1, -0x1.ba35a6056d7e6p-29},
    {-0x1.a978c249aeacdp-1, 0x1.a6575846a4497p-55, -0x1.a978c24000000p-1, -0x1.35d5992cd453ep-30},
    {-0x1.a43002ae42850p-1, 0x1.a6db80fe796fep-56, -0x1.a43002c000000p-1, 0x1.1bd7b034db702p-29},
    {-0x1.9ef4d159aa3acp-1, -0x1.ed6874956fde5p-56, -0x1.9ef4d14000000p-1, -0x1.9aa3ac3dad0e9p-29},
    {-0x1.99c6e0f634394p-1, -0x1.1a76b9103fbfap-55, -0x1.99c6e10000000p-1, 0x1.3978d772c4a37p-30},
    {-0x1.94a5e635a9befp-1, -0x1.dfd6d20097b80p-55, -0x1.94a5e64000000p-1, 0x1.4ac8211014970p-30},
    {-0x1.8f9197bf85eebp-1, 0x1.78bf71a952738p-56, -0x1.8f9197c000000p-1, 0x1.e8454bc5fb8d5p-35},
    {-0x1.8a89ae1fe32fdp-1, -0x1.88ef6938a6827p-56, -0x1.8a89ae0000000p-1, -0x1.fe32fd311ded2p-29},
    {-0x1.858de3b716571p-1, -0x1.c682666d6d8c7p-55, -0x1.858de3c000000p-1, 0x1.1d351d1cbeccdp-30},
    {-0x1.809df4a9ef840p-1, -0x1.94f63253403fap-56, -0x1.809df4c000000p-1, 0x1.6107bfcd6139bp-29},
    {-0x1.7bb99ed2990cfp-1, 0x1.aa7538e44e996p-55, -0x1.7bb99ec000000p-1, -0x1.2990ce9562b1cp-29},
    {-0x1.76e0a1b20d38cp-1, 0x1.705787694f1ffp-57, -0x1.76e0a1c000000p-1, 0x1.be58e82e0af0fp-30},
    {-0x1.7212be621be6dp-1, -0x1.ad52a614d0f8ep-55, -0x1.7212be8000000p-1, 0x1.de419294ab568p-29},
    {-0x1.6d4fb787f99f3p-1, 0x1.5e3a5c2f2cb5ap-56, -0x1.6d4fb78000000p-1, -0x1.fe67cb50e2d1fp-31},
    {-0x1.6897514751db6p-1, -0x1.439bc2d43ebfcp-56, -0x1.6897514000000p-1, -0x1.d476d8a1cde17p-31},
    {-0x1.63e95135d6a93p-1, 0x1.6133d5b89604ep-55, -0x1.63e9514000000p-1, 0x1.452adab099eaep-30},
    {-0x1.5f457e4f4812ep-1, -0x1.f71fdb590c2bap-55, -0x1.5f457e4000000p-1, -0x1.e9025cfb8fedbp-30},
    {-0x1.5aaba0e9ee02ep-1, 0x1.466b27a6d9111p-56, -0x1.5aaba10000000p-1, 0x1.611fd228cd64fp-29},
    {-0x1.561b82ab7f990p-1, -0x1.7a8c52172b675p-55, -0x1.561b82c000000p-1, 0x1.48066fa15ceb8p-29},
    {-0x1.5194ee7e732b8p-1, 0x1.50e0626be2dc1p-63, -0x1.5194ee8000000p-1, 0x1.8cd4800543819p-33},
    {-0x1.4d17b087b265dp-1, 0x1.885b7a8a267fbp-56, -0x1.4d17b08000000p-1, -0x1.ec99733bd242cp-31},
    {-0x1.48a3961cae342p-1, 0x1.68e102cc0e053p-55, -0x1.48a3960000000p-1, -0x1.cae341a5c7bf5p-29},
    {-0x1.44386db9ce5dbp-1, 0x1.a7d457cee5076p-55, -0x1.44386dc000000p-1, 0x1.8c6895a7d457dp-31},
    {-0x1.3fd606f938e45p-1, 0x1.ab10eaaa991f0p-57, -0x1.3fd6070000000p-1, 0x1.b1c6ec6ac43abp-31},
    {-0x1.3b7c3289ed6f3p-1, 0x1.c4afc9c7cbe7ep-55, -0x1.3b7c328000000p-1, -0x1.3dade51da81b2p-30},
    {-0x1.372ac22731344p-1, -0x1.52f535e42ee64p-58, -0x1.372ac24000000p-1, 0x1.8cecbbf568565p-29},
    {-0x1.32e1889047ffdp-1, 0x1.10b4421e6a4f8p-55, -0x1.32e1888000000p-1, -0x1.047ffcbbd2ef8p-29},
    {-0x1.2ea059807720bp-1, -0x1.0e4b1a5870969p-55, -0x1.2ea0598000000p-1, -0x1.dc82d0e4b1a58p-35},
    {-0x1.2a6709a74f289p-1, -0x1.6e6d4a65123b1p-56, -0x1.2a6709c000000p-1, 0x1.8b0d76d23256bp-29},
    {-0x1.26356ea13991fp-1, -0x1.cf5865324214cp-58, -0x1.26356ec000000p-1, 0x1.ec66e0f1853cdp-29},
    {-0x1.220b5ef047825p-1, -0x1.aed6fb930f332p-58, -0x1.220b5f0000000p-1, 0x1.f70fb5e512904p-30},
    {-0x1.1de8b1f53efe6p-1, 0x1.34db022a94b28p-56, -0x1.1de8b20000000p-1, 0x1.5820344d36c09p-30},
    {-0x1.19cd3fe8e405dp-1, 0x1.4e47e0a655706p-55, -0x1.19cd400000000p-1, 0x1.71bfa35391f83p-29},
    {-0x1.15b8e1d57b2a0p-1, -0x1.08a4589c4729bp-58, -0x1.15b8e1c000000p-1, -0x1.57b2a0084522cp-29},
    {-0x1.11ab7190834ecp-1, 0x1.e564bcd1e635dp-55, -0x1.11ab718000000p-1, -0x1.0834eb86a6d0dp-29},
    {-0x1.0da4c9b4a45e5p-1, 0x1.0def876861019p-57, -0x1.0da4c9c000000p-1, 0x1.6b743621bdf0fp-30},
    {-0x1.09a4c59bd0d4dp-1, 0x1.50ca527eaf477p-59, -0x1.09a4c58000000p-1, -0x1.bd0d4cfabcd6bp-29},
    {-0x1.05ab4159981ccp-1, 0x1.35f29ac112948p-61, -0x1.05ab414000000p-1, -0x1.9981cbfeca0d6p-29},
    {-0x1.01b819b5a7cf7p-1, -0x1.0bfceebbe8797p-55, -0x1.01b819c000000p-1, 0x1.4b06117a0188ap-30},
    {-0x1.fb96584cf400cp-2, -0x1.c5f10532fd243p-57, -0x1.fb96584000000p-2, -0x1.9e8018717c415p-31},
    {-0x1.f3c8ad985d9eep-2, -0x1.56988da4c4bacp-59, -0x1.f3c8ad8000000p-2, -0x1.85d9ee0ab4c47p-30},
    {-0x1.ec06f0d71f23cp-2, 0x1.db6f860989f83p-56, -0x1.ec06f0c000000p-2, -0x1.71f23b89241e8p-30},
    {-0x1.e450e0d273e7ap-2, -0x1.41522f15e53c5p-56, -0x1.e450e0c000000p-2, -0x1.273e7a50548bcp-30},
    {-0x1.dca63d89e30d4p-2, 0x1.ff18c18d04637p-56, -0x1.dca63d8000000p-2, -0x1.3c61a700739f4p-31},
    {-0x1.d506c82a2c800p-2, -0x1.e19808ba6ac14p-57, -0x1.d506c84000000p-2, 0x1.5d37ffc3ccfefp-30},
    {-0x1.cd7243047cff2p-2, -0x1.89c1387d40656p-56, -0x1.cd72430000000p-2, -0x1.1f3fc989c1388p-32},
    {-0x1.c5e87185e67b6p-2, -0x1.ff57fa14eec2fp-59, -0x1.c5e8718000000p-2, -0x1.799ed83feaff4p-32},
    {-0x1.be69182f1a2d9p-2, 0x1.ebf8a40d0c6a8p-56, -0x1.be69184000000p-2, 0x1.0e5d277afe290p-30},
    {-0x1.b6f3fc8c61e5bp-2, 0x1.a1a6ac60f81efp-57, -0x1.b6f3fc8000000p-2, -0x1.8c3cb5979654ep-31},
    {-0x1.af88e52dd62dbp-2, -0x1.2c894893bfd9ep-56, -0x1.af88e54000000p-2, 0x1.229d24b4ddadep-30},
    {-0x1.a827999fcef32p-2, -0x1.08b2fb1366ea9p-56, -0x1.a827998000000p-2, -0x1.fcef32422cbecp-30},
    {-0x1.a0cfe2638c83bp-2, -0x1.5d54f80edaf7dp-58, -0x1.a0cfe28000000p-2, 0x1.c737c4ea2ab08p-30},
    {-0x1.998188e816bf0p-2, -0x1.3dc181e8f9a99p-56, -0x1.9981890000000p-2, 0x1.7e940fb08f9f8p-30},
    {-0x1.923c57835075bp-2, -0x1.a89d143f62bf4p-58, -0x1.923c578000000p-2, -0x1.a83ad8d44e8a2p-33},
    {-0x1.8b00196b3d022p-2, 0x1.7327a64e1229dp-57, -0x1.8b00198000000p-2, 0x1.4c2fde2e64f4dp-30},
    {-0x1.83cc9aaf763bdp-2, 0x1.c46bf2e4a90bap-56, -0x1.83cc9ac000000p-2, 0x1.089c43711afccp-30},
    {-0x1.7ca1a832d0f84p-2, 0x1.ee4e2b216ab8cp-56, -0x1.7ca1a84000000p-2, 0x1.a5e0f8f727159p-31},
    {-0x1.757f0fa52e5eap-2, 0x1.91fe359dd101ap-57, -0x1.757f0fc000000p-2, 0x1.ad1a16323fc6bp-30},
    {-0x1.6e649f7d78649p-2, -0x1.78e945dc3913cp-57, -0x1.6e649f8000000p-2, 0x1.43cdb68716ba2p-33},
    {-0x1.675226f3c7da8p-2, -0x1.b57c0df58546cp-56, -0x1.6752270000000p-2, 0x1.8704af2541f90p-31},
    {-0x1.604775fbb27dfp-2, -0x1.ac77af460d60ap-57, -0x1.6047760000000p-2, 0x1.13608329c4286p-32},
    {-0x1.59445d3ebf968p-2, -0x1.f72abea6f5227p-56, -0x1.59445d4000000p-2, 0x1.4069782355056p-34},
    {-0x1.5248ae1701b17p-2, -0x1.be976387851c1p-56, -0x1.5248ae0000000p-2, -0x1.701b176fa5d8ep-30},
    {-0x1.4b543a89d41bcp-2, 0x1.acd0e4c5da89cp-57, -0x1.4b543a8000000p-2, -0x1.3a837794cbc6dp-31},
    {-0x1.4466d542bac92p-2, 0x1.04fe7bde135dfp-56, -0x1.4466d54000000p-2, -0x1.5d648df603084p-33},
    {-0x1.3d80518e6361fp-2, -0x1.227debef74457p-60, -0x1.3d80518000000p-2, -0x1.cc6c3e0913ef6p-31},
    {-0x1.36a08355c63dcp-2, 0x1.d704d1bfdb6e8p-57, -0x1.36a0834000000p-2, -0x1.5c63dbc51f65dp-30},
    {-0x1.2fc73f19661bap-2, -0x1.556b3ac8066d3p-56, -0x1.2fc73f0000000p-2, -0x1.9661ba555acebp-30},
    {-0x1.28f459ecad74dp-2, -0x1.0336036e321e9p-60, -0x1.28f45a0000000p-2, 0x1.3528b2fbf327fp-30},
    {-0x1.2227a971684eep-2, 0x1.55ab4c276dcdbp-57, -0x1.2227a98000000p-2, 0x1.d2f624556ad31p-31},
    {-0x1.1b6103d3597e9p-2, -0x1.cbda4f63658a0p-57, -0x1.1b6103c000000p-2, -0x1.3597e9397b49fp-30},
    {-0x1.14a03fc3ea543p-2, 0x1.cbb61a2077508p-62, -0x1.14a03fc000000p-2, -0x1.f52a17f1a24f3p-33},
    {-0x1.0de53475f3b3cp-2, -0x1.7b35cc20fc4b0p-57, -0x1.0de5348000000p-2, 0x1.418987a1328cfp-31},
    {-0x1.072fb9999fa4ap-2, 0x1.493c741349565p-56, -0x1.072fb98000000p-2, -0x1.99fa49adb0e30p-30},
    {-0x1.007fa758626aep-2, -0x1.5a6d6c3c8b6a7p-57, -0x1.007fa74000000p-2, -0x1.8626ae2b4dad8p-30},
    {-0x1.f3a9aca2148cfp-3, 0x1.796ce5d7450c0p-57, -0x1.f3a9acc000000p-3, 0x1.deb7315e5b397p-31},
    {-0x1.e65e3f27c9f2ap-3, -0x1.f636049d8d810p-57, -0x1.e65e3f4000000p-3, 0x1.8360d582727eep-31},
    {-0x1.d91cb93df47ebp-3, -0x1.b6a75472016f1p-57, -0x1.d91cb94000000p-3, 0x1.05c0a492b1572p-34},
    {-0x1.cbe4ceb4b4cf2p-3, -0x1.4a5be32c624f4p-57, -0x1.cbe4cec000000p-3, 0x1.69661b5ad20e7p-32},
    {-0x1.beb63429008c0p-3, 0x1.6a7062ee4e093p-58, -0x1.beb6344000000p-3, 0x1.6ff7402d4e0c6p-31},
    {-0x1.b1909efd8b762p-3, -0x1.8448dfdb1cb08p-58, -0x1.b1909f0000000p-3, 0x1.3a44ee7bb7202p-34},
    {-0x1.a473c553d4277p-3, -0x1.fb2a237303741p-58, -0x1.a473c54000000p-3, -0x1.3d42773f65447p-31},
    {-0x1.975f5e0553158p-3, -0x1.ef5d367441946p-61, -0x1.975f5e0000000p-3, -0x1.54c5601ef5d36p-33},
    {-0x1.8a53209cca730p-3, -0x1.d46dbc1dab441p-58, -0x1.8a53208000000p-3, -0x1.cca7303a8db78p-31},
    {-0x1.7d4ec54fb5968p-3, -0x1.fb9248f211674p-59, -0x1.7d4ec54000000p-3, -0x1.f6b2d03f72492p-32},
    {-0x1.705204f7d6965p-3, 0x1.dc1a13f73a98ap-57, -0x1.7052050000000p-3, 0x1.052d36ee0d0a0p-32},
    {-0x1.635c990ce0d36p-3, 0x1.9debab5988b6bp-58, -0x1.635c990000000p-3, -0x1.9c1a6b9885153p-32},
    {-0x1.566e3b9e3f35dp-3, -0x1.2e02f2f8066cep-58, -0x1.566e3b8000000p-3, -0x1.e3f35d25c05e6p-31},
    {-0x1.4986a74cf4e57p-3, -0x1.9ab2dced77971p-57, -0x1.4986a74000000p-3, -0x1.9e9caecd596e7p-32},
    {-0x1.3ca597459751dp-3, 0x1.e486883e3d808p-58, -0x1.3ca5974000000p-3, -0x1.65d4730dbcbbep-33},
    {-0x1.2fcac73a60640p-3, -0x1.2cfb5a746f62cp-58, -0x1.2fcac74000000p-3, 0x1.67e6ff698252cp-33},
    {-0x1.22f5f35d57bcdp-3, 0x1.47c5ee6b78bcbp-58, -0x1.22f5f34000000p-3, -0x1.d57bccd707423p-31},
    {-0x1.1626d85a91e70p-3, 0x1.007bfc8d53bd6p-58, -0x1.1626d84000000p-3, -0x1.a91e6fdff0807p-31},
    {-0x1.095d3352846e3p-3, -0x1.00606a68580acp-57, -0x1.095d334000000p-3, -0x1.2846e340181aap-31},
    {-0x1.f93183a8db9e9p-4, 0x1.12206d2ac3013p-59, -0x1.f93183c000000p-4, 0x1.72461722440dap-32},
    {-0x1.dfb283b1a07bbp-4, 0x1.716abf69a1c10p-61, -0x1.dfb283c000000p-4, 0x1.cbf08a1716abfp-33},
    {-0x1.c63ce377fc802p-4, 0x1.43faadb4fa996p-58, -0x1.c63ce38000000p-4, 0x1.006ffca1fd56ep-33},
    {-0x1.acd02071704d7p-4, -0x1.6a6ba636596dep-58, -0x1.acd0208000000p-4, 0x1.d1f6514aca2cep-33},
    {-0x1.936bb8c5b2da2p-4, -0x1.87d054f689d7ap-58, -0x1.936bb8c000000p-4, -0x1.6cb68987d054fp-34},
    {-0x1.7a0f2b442a1f8p-4, 0x1.c78d625305992p-58, -0x1.7a0f2b4000000p-4, -0x1.0a87de38729dbp-34},
    {-0x1.60b9f7597fdecp-4, -0x1.d22b8ec11f006p-60, -0x1.60b9f74000000p-4, -0x1.97fdec1d22b8fp-32},
    {-0x1.476b9d0550adep-4, 0x1.8cc6762622703p-61, -0x1.476b9d0000000p-4, -0x1.542b77ce67314p-34},
    {-0x1.2e239ccff3831p-4, -0x1.87a2cb08f812cp-58, -0x1.2e239cc000000p-4, -0x1.fe7062c3d1658p-33},
    {-0x1.14e177c057ff5p-4, 0x1.883b2ceaebf19p-58, -0x1.14e177c000000p-4, -0x1.5ffd277c4d315p-38},
    {-0x1.f7495ea3f3783p-5, 0x1.07ea8d1aa6faep-59, -0x1.f7495ec000000p-5, 0x1.c0c87d41faa34p-33},
    {-0x1.c4d98ad5cdd2ap-5, -0x1.577a7db1fa2f7p-59, -0x1.c4d98ac000000p-5, -0x1.5cdd2a55de9f7p-33},
    {-0x1.927278a3b1162p-5, -0x1.ada13ceebab9dp-64, -0x1.927278c000000p-5, 0x1.c4ee9dfca4bd8p-33},
    {-0x1.60132d48b55c3p-5, 0x1.42748a2714120p-59, -0x1.60132d4000000p-5, -0x1.16ab855ec5bafp-34},
    {-0x1.2dbaae9a05db0p-5, 0x1.3753f24c8eeb4p-59, -0x1.2dbaae8000000p-5, -0x1.a05dafb22b037p-33},
    {-0x1.f6d005e6cea06p-6, 0x1.fa98f10d612ecp-60, -0x1.f6d0060000000p-6, 0x1.9315fa7ea63c4p-34},
    {-0x1.92346247a91f0p-6, 0x1.13b5915a8e316p-64, -0x1.9234624000000p-6, -0x1.ea47bfeec4a6fp-36},
    {-0x1.2da080b45c00cp-6, -0x1.59a58dd2e02d8p-62, -0x1.2da080c000000p-6, 0x1.747fe7d4cb4e4p-35},
    {-0x1.9224e047e368ep-7, 0x1.a3da9c08120b7p-62, -0x1.9224e04000000p-7, -0x1.f8da372e12b20p-37},
    {-0x1.9221000157a0fp-8, 0x1.9c58180d640dap-63, -0x1.9221000000000p-8, -0x1.57a0ecc74fcfep-40},
    {0x0.0p+0, 0x0.0p+0, 0x0.0p+0, 0x0.0p+0},
    {0x1.9221000157a0fp-8, -0x1.9c58180d640dap-63, 0x1.9221000000000p-8, 0x1.57a0ecc74fcfep-40},
    {0x1.9224e047e368ep-7, -0x1.a3da9c08120b7p-62, 0x1.9224e04000000p-7, 0x1.f8da372e12b20p-37},
    {0x1.2da080b45c00cp-6, 0x1.59a58dd2e02d8p-62, 0x1.2da080c000000p-6, -0x1.747fe7d4cb4e4p-35},
    {0x1.92346247a91f0p-6, -0x1.13b5915a8e316p-64, 0x1.9234624000000p-6, 0x1.ea47bfeec4a6fp-36},
    {0x1.f6d005e6cea06p-6, -0x1.fa98f10d612ecp-60, 0x1.f6d0060000000p-6, -0x1.9315fa7ea63c4p-34},
    {0x1.2dbaae9a05db0p-5, -0x1.3753f24c8eeb4p-59, 0x1.2dbaae8000000p-5, 0x1.a05dafb22b037p-33},
    {0x1.60132d48b55c3p-5, -0x1.42748a2714120p-59, 0x1.60132d4000000p-5, 0x1.16ab855ec5bafp-34},
    {0x1.927278a3b1162p-5, 0x1.ada13ceebab9dp-64, 0x1.927278c000000p-5, -0x1.c4ee9dfca4bd8p-33},
    {0x1.c4d98ad5cdd2ap-5, 0x1.577a7db1fa2f7p-59, 0x1.c4d98ac000000p-5, 0x1.5cdd2a55de9f7p-33},
    {0x1.f7495ea3f3783p-5, -0x1.07ea8d1aa6faep-59, 0x1.f7495ec000000p-5, -0x1.c0c87d41faa34p-33},
    {0x1.14e177c057ff5p-4, -0x1.883b2ceaebf19p-58, 0x1.14e177c000000p-4, 0x1.5ffd277c4d315p-38},
    {0x1.2e239ccff3831p-4, 0x1.87a2cb08f812cp-58, 0x1.2e239cc000000p-4, 0x1.fe7062c3d1658p-33},
    {0x1.476b9d0550adep-4, -0x1.8cc6762622703p-61, 0x1.476b9d0000000p-4, 0x1.542b77ce67314p-34},
    {0x1.60b9f7597fdecp-4, 0x1.d22b8ec11f006p-60, 0x1.60b9f74000000p-4, 0x1.97fdec1d22b8fp-32},
    {0x1.7a0f2b442a1f8p-4, -0x1.c78d625305992p-58, 0x1.7a0f2b4000000p-4, 0x1.0a87de38729dbp-34},
    {0x1.936bb8c5b2da2p-4, 0x1.87d054f689d7ap-58, 0x1.936bb8c000000p-4, 0x1.6cb68987d054fp-34},
    {0x1.acd02071704d7p-4, 0x1.6a6ba636596dep-58, 0x1.acd0208000000p-4, -0x1.d1f6514aca2cep-33},
    {0x1.c63ce377fc802p-4, -0x1.43faadb4fa996p-58, 0x1.c63ce38000000p-4, -0x1.006ffca1fd56ep-33},
    {0x1.dfb283b1a07bbp-4, -0x1.716abf69a1c10p-61, 0x1.dfb283c000000p-4, -0x1.cbf08a1716abfp-33},
    {0x1.f93183a8db9e9p-4, -0x1.12206d2ac3013p-59, 0x1.f93183c000000p-4, -0x1.72461722440dap-32},
    {0x1.095d3352846e3p-3, 0x1.00606a68580acp-57, 0x1.095d334000000p-3, 0x1.2846e340181aap-31},
    {0x1.1626d85a91e70p-3, -0x1.007bfc8d53bd6p-58, 0x1.1626d84000000p-3, 0x1.a91e6fdff0807p-31},
    {0x1.22f5f35d57bcdp-3, -0x1.47c5ee6b78bcbp-58, 0x1.22f5f34000000p-3, 0x1.d57bccd707423p-31},
    {0x1.2fcac73a60640p-3, 0x1.2cfb5a746f62cp-58, 0x1.2fcac74000000p-3, -0x1.67e6ff698252cp-33},
    {0x1.3ca597459751dp-3, -0x1.e486883e3d808p-58, 0x1.3ca5974000000p-3, 0x1.65d4730dbcbbep-33},
    {0x1.4986a74cf4e57p-3, 0x1.9ab2dced77971p-57, 0x1.4986a74000000p-3, 0x1.9e9caecd596e7p-32},
    {0x1.566e3b9e3f35dp-3, 0x1.2e02f2f8066cep-58, 0x1.566e3b8000000p-3, 0x1.e3f35d25c05e6p-31},
    {0x1.635c990ce0d36p-3, -0x1.9debab5988b6bp-58, 0x1.635c990000000p-3, 0x1.9c1a6b9885153p-32},
    {0x1.705204f7d6965p-3, -0x1.dc1a13f73a98ap-57, 0x1.7052050000000p-3, -0x1.052d36ee0d0a0p-32},
    {0x1.7d4ec54fb5968p-3, 0x1.fb9248f211674p-59, 0x1.7d4ec54000000p-3, 0x1.f6b2d03f72492p-32},
    {0x1.8a53209cca730p-3, 0x1.d46dbc1dab441p-58, 0x1.8a53208000000p-3, 0x1.cca7303a8db78p-31},
    {0x1.975f5e0553158p-3, 0x1.ef5d367441946p-61, 0x1.975f5e0000000p-3, 0x1.54c5601ef5d36p-33},
    {0x1.a473c553d4277p-3, 0x1.fb2a237303741p-58, 0x1.a473c54000000p-3, 0x1.3d42773f65447p-31},
    {0x1.b1909efd8b762p-3, 0x1.8448dfdb1cb08p-58, 0x1.b1909f0000000p-3, -0x1.3a44ee7bb7202p-34},
    {0x1.beb63429008c0p-3, -0x1.6a7062ee4e093p-58, 0x1.beb6344000000p-3, -0x1.6ff7402d4e0c6p-31},
    {0x1.cbe4ceb4b4cf2p-3, 0x1.4a5be32c624f4p-57, 0x1.cbe4cec000000p-3, -0x1.69661b5ad20e7p-32},
    {0x1.d91cb93df47ebp-3, 0x1.b6a75472016f1p-57, 0x1.d91cb94000000p-3, -0x1.05c0a492b1572p-34},
    {0x1.e65e3f27c9f2ap-3, 0x1.f636049d8d810p-57, 0x1.e65e3f4000000p-3, -0x1.8360d582727eep-31},
    {0x1.f3a9aca2148cfp-3, -0x1.796ce5d7450c0p-57, 0x1.f3a9acc000000p-3, -0x1.deb7315e5b397p-31},
    {0x1.007fa758626aep-2, 0x1.5a6d6c3c8b6a7p-57, 0x1.007fa74000000p-2, 0x1.8626ae2b4dad8p-30},
    {0x1.072fb9999fa4ap-2, -0x1.493c741349565p-56, 0x1.072fb98000000p-2, 0x1.99fa49adb0e30p-30},
    {0x1.0de53475f3b3cp-2, 0x1.7b35cc20fc4b0p-57, 0x1.0de5348000000p-2, -0x1.418987a1328cfp-31},
    {0x1.14a03fc3ea543p-2, -0x1.cbb61a2077508p-62, 0x1.14a03fc000000p-2, 0x1.f52a17f1a24f3p-33},
    {0x1.1b6103d3597e9p-2, 0x1.cbda4f63658a0p-57, 0x1.1b6103c000000p-2, 0x1.3597e9397b49fp-30},
    {0x1.2227a971684eep-2, -0x1.55ab4c276dcdbp-57, 0x1.2227a98000000p-2, -0x1.d2f624556ad31p-31},
    {0x1.28f459ecad74dp-2, 0x1.0336036e321e9p-60, 0x1.28f45a0000000p-2, -0x1.3528b2fbf327fp-30},
    {0x1.2fc73f19661bap-2, 0x1.556b3ac8066d3p-56, 0x1.2fc73f0000000p-2, 0x1.9661ba555acebp-30},
    {0x1.36a08355c63dcp-2, -0x1.d704d1bfdb6e8p-57, 0x1.36a0834000000p-2, 0x1.5c63dbc51f65dp-30},
    {0x1.3d80518e6361fp-2, 0x1.227debef74457p-60, 0x1.3d80518000000p-2, 0x1.cc6c3e0913ef6p-31},
    {0x1.4466d542bac92p-2, -0x1.04fe7bde135dfp-56, 0x1.4466d54000000p-2, 0x1.5d648df603084p-33},
    {0x1.4b543a89d41bcp-2, -0x1.acd0e4c5da89cp-57, 0x1.4b543a8000000p-2, 0x1.3a837794cbc6dp-31},
    {0x1.5248ae1701b17p-2, 0x1.be976387851c1p-56, 0x1.5248ae0000000p-2, 0x1.701b176fa5d8ep-30},
    {0x1.59445d3ebf968p-2, 0x1.f72abea6f5227p-56, 0x1.59445d4000000p-2, -0x1.4069782355056p-34},
    {0x1.604775fbb27dfp-2, 0x1.ac77af460d60ap-57, 0x1.6047760000000p-2, -0x1.13608329c4286p-32},
    {0x1.675226f3c7da8p-2, 0x1.b57c0df58546cp-56, 0x1.6752270000000p-2, -0x1.8704af2541f90p-31},
    {0x1.6e649f7d78649p-2, 0x1.78e945dc3913cp-57, 0x1.6e649f8000000p-2, -0x1.43cdb68716ba2p-33},
    {0x1.757f0fa52e5eap-2, -0x1.91fe359dd101ap-57, 0x1.757f0fc000000p-2, -0x1.ad1a16323fc6bp-30},
    {0x1.7ca1a832d0f84p-2, -0x1.ee4e2b216ab8cp-56, 0x1.7ca1a84000000p-2, -0x1.a5e0f8f727159p-31},
    {0x1.83cc9aaf763bdp-2, -0x1.c46bf2e4a90bap-56, 0x1.83cc9ac000000p-2, -0x1.089c43711afccp-30},
    {0x1.8b00196b3d022p-2, -0x1.7327a64e1229dp-57, 0x1.8b00198000000p-2, -0x1.4c2fde2e64f4dp-30},
    {0x1.923c57835075bp-2, 0x1.a89d143f62bf4p-58, 0x1.923c578000000p-2, 0x1.a83ad8d44e8a2p-33},
    {0x1.998188e816bf0p-2, 0x1.3dc181e8f9a99p-56, 0x1.9981890000000p-2, -0x1.7e940fb08f9f8p-30},
    {0x1.a0cfe2638c83bp-2, 0x1.5d54f80edaf7dp-58, 0x1.a0cfe28000000p-2, -0x1.c737c4ea2ab08p-30},
    {0x1.a827999fcef32p-2, 0x1.08b2fb1366ea9p-56, 0x1.a827998000000p-2, 0x1.fcef32422cbecp-30},
    {0x1.af88e52dd62dbp-2, 0x1.2c894893bfd9ep-56, 0x1.af88e54000000p-2, -0x1.229d24b4ddadep-30},
    {0x1.b6f3fc8c61e5bp-2, -0x1.a1a6ac60f81efp-57, 0x1.b6f3fc8000000p-2, 0x1.8c3cb5979654ep-31},
    {0x1.be69182f1a2d9p-2, -0x1.ebf8a40d0c6a8p-56, 0x1.be69184000000p-2, -0x1.0e5d277afe290p-30},
    {0x1.c5e87185e67b6p-2, 0x1.ff57fa14eec2fp-59, 0x1.c5e8718000000p-2, 0x1.799ed83feaff4p-32},
    {0x1.cd7243047cff2p-2, 0x1.89c1387d40656p-56, 0x1.cd72430000000p-2, 0x1.1f3fc989c1388p-32},
    {0x1.d506c82a2c800p-2, 0x1.e19808ba6ac14p-57, 0x1.d506c84000000p-2, -0x1.5d37ffc3ccfefp-30},
    {0x1.dca63d89e30d4p-2, -0x1.ff18c18d04637p-56, 0x1.dca63d8000000p-2, 0x1.3c61a700739f4p-31},
    {0x1.e450e0d273e7ap-2, 0x1.41522f15e53c5p-56, 0x1.e450e0c000000p-2, 0x1.273e7a50548bcp-30},
    {0x1.ec06f0d71f23cp-2, -0x1.db6f860989f83p-56, 0x1.ec06f0c000000p-2, 0x1.71f23b89241e8p-30},
    {0x1.f3c8ad985d9eep-2, 0x1.56988da4c4bacp-59, 0x1.f3c8ad8000000p-2, 0x1.85d9ee0ab4c47p-30},
    {0x1.fb96584cf400cp-2, 0x1.c5f10532fd243p-57, 0x1.fb96584000000p-2, 0x1.9e8018717c415p-31},
    {0x1.01b819b5a7cf7p-1, 0x1.0bfceebbe8797p-55, 0x1.01b819c000000p-1, -0x1.4b06117a0188ap-30},
    {0x1.05ab4159981ccp-1, -0x1.35f29ac112948p-61, 0x1.05ab414000000p-1, 0x1.9981cbfeca0d6p-29},
    {0x1.09a4c59bd0d4dp-1, -0x1.50ca527eaf477p-59, 0x1.09a4c58000000p-1, 0x1.bd0d4cfabcd6bp-29},
    {0x1.0da4c9b4a45e5p-1, -0x1.0def876861019p-57, 0x1.0da4c9c000000p-1, -0x1.6b743621bdf0fp-30},
    {0x1.11ab7190834ecp-1, -0x1.e564bcd1e635dp-55, 0x1.11ab718000000p-1, 0x1.0834eb86a6d0dp-29},
    {0x1.15b8e1d57b2a0p-1, 0x1.08a4589c4729bp-58, 0x1.15b8e1c000000p-1, 0x1.57b2a0084522cp-29},
    {0x1.19cd3fe8e405dp-1, -0x1.4e47e0a655706p-55, 0x1.19cd400000000p-1, -0x1.71bfa35391f83p-29},
    {0x1.1de8b1f53efe6p-1, -0x1.34db022a94b28p-56, 0x1.1de8b20000000p-1, -0x1.5820344d36c09p-30},
    {0x1.220b5ef047825p-1, 0x1.aed6fb930f332p-58, 0x1.220b5f0000000p-1, -0x1.f70fb5e512904p-30},
    {0x1.26356ea13991fp-1, 0x1.cf5865324214cp-58, 0x1.26356ec000000p-1, -0x1.ec66e0f1853cdp-29},
    {0x1.2a6709a74f289p-1, 0x1.6e6d4a65123b1p-56, 0x1.2a6709c000000p-1, -0x1.8b0d76d23256bp-29},
    {0x1.2ea059807720bp-1, 0x1.0e4b1a5870969p-55, 0x1.2ea0598000000p-1, 0x1.dc82d0e4b1a58p-35},
    {0x1.32e1889047ffdp-1, -0x1.10b4421e6a4f8p-55, 0x1.32e1888000000p-1, 0x1.047ffcbbd2ef8p-29},
    {0x1.372ac22731344p-1, 0x1.52f535e42ee64p-58, 0x1.372ac24000000p-1, -0x1.8cecbbf568565p-29},
    {0x1.3b7c3289ed6f3p-1, -0x1.c4afc9c7cbe7ep-55, 0x1.3b7c328000000p-1, 0x1.3dade51da81b2p-30},
    {0x1.3fd606f938e45p-1, -0x1.ab10eaaa991f0p-57, 0x1.3fd6070000000p-1, -0x1.b1c6ec6ac43abp-31},
    {0x1.44386db9ce5dbp-1, -0x1.a7d457cee5076p-55, 0x1.44386dc000000p-1, -0x1.8c6895a7d457dp-31},
    {0x1.48a3961cae342p-1, -0x1.68e102cc0e053p-55, 0x1.48a3960000000p-1, 0x1.cae341a5c7bf5p-29},
    {0x1.4d17b087b265dp-1, -0x1.885b7a8a267fbp-56, 0x1.4d17b08000000p-1, 0x1.ec99733bd242cp-31},
    {0x1.5194ee7e732b8p-1, -0x1.50e0626be2dc1p-63, 0x1.5194ee8000000p-1, -0x1.8cd4800543819p-33},
    {0x1.561b82ab7f990p-1, 0x1.7a8c52172b675p-55, 0x1.561b82c000000p-1, -0x1.48066fa15ceb8p-29},
    {0x1.5aaba0e9ee02ep-1, -0x1.466b27a6d9111p-56, 0x1.5aaba10000000p-1, -0x1.611fd228cd64fp-29},
    {0x1.5f457e4f4812ep-1, 0x1.f71fdb590c2bap-55, 0x1.5f457e4000000p-1, 0x1.e9025cfb8fedbp-30},
    {0x1.63e95135d6a93p-1, -0x1.6133d5b89604ep-55, 0x1.63e9514000000p-1, -0x1.452adab099eaep-30},
    {0x1.6897514751db6p-1, 0x1.439bc2d43ebfcp-56, 0x1.6897514000000p-1, 0x1.d476d8a1cde17p-31},
    {0x1.6d4fb787f99f3p-1, -0x1.5e3a5c2f2cb5ap-56, 0x1.6d4fb78000000p-1, 0x1.fe67cb50e2d1fp-31},
    {0x1.7212be621be6dp-1, 0x1.ad52a614d0f8ep-55, 0x1.7212be8000000p-1, -0x1.de419294ab568p-29},
    {0x1.76e0a1b20d38cp-1, -0x1.705787694f1ffp-57, 0x1.76e0a1c000000p-1, -0x1.be58e82e0af0fp-30},
    {0x1.7bb99ed2990cfp-1, -0x1.aa7538e44e996p-55, 0x1.7bb99ec000000p-1, 0x1.2990ce9562b1cp-29},
    {0x1.809df4a9ef840p-1, 0x1.94f63253403fap-56, 0x1.809df4c000000p-1, -0x1.6107bfcd6139bp-29},
    {0x1.858de3b716571p-1, 0x1.c682666d6d8c7p-55, 0x1.858de3c000000p-1, -0x1.1d351d1cbeccdp-30},
    {0x1.8a89ae1fe32fdp-1, 0x1.88ef6938a6827p-56, 0x1.8a89ae0000000p-1, 0x1.fe32fd311ded2p-29},
    {0x1.8f9197bf85eebp-1, -0x1.78bf71a952738p-56, 0x1.8f9197c000000p-1, -0x1.e8454bc5fb8d5p-35},
    {0x1.94a5e635a9befp-1, 0x1.dfd6d20097b80p-55, 0x1.94a5e64000000p-1, -0x1.4ac8211014970p-30},
    {0x1.99c6e0f634394p-1, 0x1.1a76b9103fbfap-55, 0x1.99c6e10000000p-1, -0x1.3978d772c4a37p-30},
    {0x1.9ef4d159aa3acp-1, 0x1.ed6874956fde5p-56, 0x1.9ef4d14000000p-1, 0x1.9aa3ac3dad0e9p-29},
    {0x1.a43002ae42850p-1, -0x1.a6db80fe796fep-56, 0x1.a43002c000000p-1, -0x1.1bd7b034db702p-29},
    {0x1.a978c249aeacdp-1, -0x1.a6575846a4497p-55, 0x1.a978c24000000p-1, 0x1.35d5992cd453ep-30},
    {0x1.aecf5f9ba35a6p-1, 0x1.5b5f994ac2a63p-59, 0x1.aecf5f8000000p-1, 0x1.ba35a6056d7e6p-29},
    {0x1.b4342c41295eep-1, 0x1.69cd436f4f318p-55, 0x1.b4342c4000000p-1, 0x1.295ee5a7350dcp-33},
    {0x1.b9a77c18c1af2p-1, 0x1.6fc7e578d57abp-56, 0x1.b9a77c0000000p-1, 0x1.8c1af22df8fcbp-29},
    {0x1.bf29a55766e72p-1, 0x1.609cf3f0939dap-57, 0x1.bf29a54000000p-1, 0x1.766e721609cf4p-29},
    {0x1.c4bb009e77983p-1, -0x1.2f33321f26146p-58, 0x1.c4bb008000000p-1, 0x1.e77982f686667p-29},
    {0x1.ca5be912954b0p-1, 0x1.426f1a2e2a8c6p-59, 0x1.ca5be90000000p-1, 0x1.2954b00509bc7p-29},
    {0x1.d00cbc7384d2ep-1, 0x1.8dcad85e60fbep-56, 0x1.d00cbc8000000p-1, -0x1.8f65a39c8d49fp-30},
    {0x1.d5cddb351d4e5p-1, -0x1.aaeb45277878ap-55, 0x1.d5cddb4000000p-1, -0x1.5c5636d575a29p-30},
    {0x1.db9fa89953fcfp-1, 0x1.bd3a07e67cab7p-61, 0x1.db9fa88000000p-1, 0x1.953fcf01bd3a0p-29},
    {0x1.e1828acb73edep-1, 0x1.4ffd4fb869fc6p-55, 0x1.e1828ac000000p-1, 0x1.6e7dbca7fea7ep-30},
    {0x1.e776eafc91706p-1, 0x1.915eabb7f20cbp-55, 0x1.e776eb0000000p-1, -0x1.b747ccdd42a89p-32},
    {0x1.ed7d35814a2b6p-1, -0x1.8e4aaf286f348p-55, 0x1.ed7d358000000p-1, 0x1.4a2b59c6d5436p-33},
    {0x1.f395d9f0e3c92p-1, -0x1.47d150a88aa18p-58, 0x1.f395da0000000p-1, -0x1.e386dc147d151p-30},
    {0x1.f9c14b45dc420p-1, -0x1.63135ab2a81b3p-56, 0x1.f9c14b4000000p-1, 0x1.77107f4e7652ap-31},
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
  const double rhz = rh * z;
  const double t3 = rhz * 0x1.5555555555555p-2;
  const double tp = t3 + (rhz * z) * (0x1.1111111111111p-3 + z * 0x1.ba1ba1ba1ba1cp-5);
  // t = tan r = rh + tl.
  const double tl = (rl + z * rl) + tp;
  // N = T + t = sn.hi + nl and D = 1 - T t = sd.hi + dl, not normalised (|nl| < 2^-18.2 |N|,
  // |dl| < 2^-26.5 |D|).
  const DoubleDouble sn = detail::fastTwoSum(e.hi, rh);
  const double nl = (sn.lo + e.lo) + tl;
  const DoubleDouble sd = detail::fastTwoSum(1.0, -(e.hh * rhh));
  const double dl = (sd.lo - (e.hh * rhl + e.c * rh)) - e.hi * tl;
  // N to 2^-31.8 from t ~ rh + rh^3/3 and D to 2^-26.6 from t ~ rh, ready before the pairs
  // above: the division and the splits need not wait for the pairs.
  const double na = sn.hi + t3;
  const double da = 1.0 - e.hi * rh;
  // tan x = N/D, or -D/N a quarter turn further (p = 1).
  const bool p = m >= 256;
  const double numh = p ? -sd.hi : sn.hi;
  const double numl = p ? -dl : nl;
  const double denh = p ? sn.hi : sd.hi;
  const double denl = p ? nl : dl;
  const double numa = p ? -da : na;
  const double dena = p ? na : da;
  const double inv0 = 1.0 / dena;
  const double q0 = numa * inv0;
  // q0 truncated to 26 significant bits (its low 27 fraction bits cleared): shorter than a split.
  const double qh =
      std::bit_cast<double>(std::bit_cast<std::uint64_t>(q0) & ~std::uint64_t{0x7FFFFFF});
  const double cd = 134217729.0 * dena;
  const double dhh = cd - (cd - dena);
  const double dc = (denh - dhh) + denl;
  const double rem = ((numh - qh * dhh) + numl) - qh * dc;
  // 1/den from 1/dena, corrected to first order.
  const double inv = inv0 - inv0 * (((denh - dena) + denl) * inv0);
  // The bound with the sign of qh (the rounding test is symmetric); red.err is 0 on the
  // Cody-Waite path, where the compiler drops the other term.
  const double err = red.err == 0.0
                         ? 0x1.bp-69 * qh
                         : 0x1.bp-69 * absd(qh) + red.err * (1.0 + qh * qh) * (1.0 + 0x1p-40);
  return {{qh, rem * inv}, err};
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kTiny = 0x3E40000000000000u;  // 2^-27

[[gnu::noinline]] double tanCold(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  if (abits < kTiny) return x;  // |x| < 2^-27: |tan x - x| < |x|^3/2.9, below a quarter ulp
  if (abits >= 0x7FF0000000000000u) return x - x;
  const double ax = std::bit_cast<double>(abits);
  const detail::TrigFast f = tanFast(detail::reduceTrig(ax));
  double t;
  if (!detail::roundsUnambiguouslyRaw(f.v, f.err, &t)) t = detail::trigSlow(ax, 2);
  return (bits & kSignBit) != 0 ? -t : t;
}

}  // namespace

double cr::tan(double x) noexcept {
  detail::TrigReduced red;
  if (detail::reduceHot(x, &red)) {
    const detail::TrigFast f = tanFast(red);
    double out;
    if (detail::roundsUnambiguouslyRaw(f.v, f.err, &out)) return out;
  }
  return tanCold(x);
}

detail::TrigFast detail::trigFastForTest(double x, int fn) noexcept {
  const double ax = absd(x);
  TrigReduced red;
  TrigFast f;
  if (reduceHot(x, &red)) {  // the public functions' first path, signed
    f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  } else {
    red = reduceTrig(ax);
    f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
    if (fn != 1 && x < 0.0) f.v = {-f.v.hi, -f.v.lo};
  }
  f.err = absd(f.err);  // the fast paths may give it the result's sign
  return f;
}

}  // namespace nemra_kernel
