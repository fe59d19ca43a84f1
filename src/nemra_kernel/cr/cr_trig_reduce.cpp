// The tables and the exact path of the correctly rounded sin, cos and tan, and the reduction of
// large arguments.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include <nemra_kernel/cr/detail/cr_trig.hpp>

namespace nemra_kernel::detail {

namespace {

// sin(i*pi/512) for i = 0..256: hi, lo, and hi rounded to 27 bits.
constexpr double kSinQuarter[257][3] = {
    {0.0, 0.0, 0.0},
    {0x1.921f0fe670071p-8, 0x1.ab967fe6b7a9bp-64, 0x1.921f100000000p-8},
    {0x1.921d1fcdec784p-7, 0x1.9878ebe836d9dp-61, 0x1.921d1fc000000p-7},
    {0x1.2d936bbe30efdp-6, 0x1.b5f91ee371d64p-61, 0x1.2d936bc000000p-6},
    {0x1.92155f7a3667ep-6, -0x1.b1d63091a0130p-64, 0x1.92155f8000000p-6},
    {0x1.f693731d1cf01p-6, -0x1.3fe9bc66286c7p-66, 0x1.f693730000000p-6},
    {0x1.2d865759455cdp-5, 0x1.686f65ba93ac0p-61, 0x1.2d86574000000p-5},
    {0x1.5fc00d290cd43p-5, 0x1.a2669a693a8e1p-59, 0x1.5fc00d4000000p-5},
    {0x1.91f65f10dd814p-5, -0x1.912bd0d569a90p-61, 0x1.91f65f0000000p-5},
    {0x1.c428d12c0d7e3p-5, -0x1.89bc74b58c513p-60, 0x1.c428d14000000p-5},
    {0x1.f656e79f820e0p-5, -0x1.2e1ebe392bffep-61, 0x1.f656e78000000p-5},
    {0x1.1440134d709b3p-4, -0x1.fec446daea6adp-58, 0x1.1440134000000p-4},
    {0x1.2d52092ce19f6p-4, -0x1.9a088a8bf6b2cp-59, 0x1.2d52094000000p-4},
    {0x1.4661179272096p-4, -0x1.4b109f2406c4cp-58, 0x1.4661178000000p-4},
    {0x1.5f6d00a9aa419p-4, -0x1.f4022d03f6c9ap-59, 0x1.5f6d00c000000p-4},
    {0x1.787586a5d5b21p-4, 0x1.5f7589f083399p-58, 0x1.787586c000000p-4},
    {0x1.917a6bc29b42cp-4, -0x1.e2718d26ed688p-60, 0x1.917a6bc000000p-4},
    {0x1.aa7b724495c03p-4, 0x1.e5399ba0967b8p-58, 0x1.aa7b724000000p-4},
    {0x1.c3785c79ec2d5p-4, -0x1.4f39df133fb21p-61, 0x1.c3785c8000000p-4},
    {0x1.dc70ecbae9fc9p-4, 0x1.2fda2d73295eep-60, 0x1.dc70ecc000000p-4},
    {0x1.f564e56a9730ep-4, 0x1.a2704729ae56dp-59, 0x1.f564e58000000p-4},
    {0x1.072a047ba831dp-3, 0x1.19db1f70118cap-58, 0x1.072a048000000p-3},
    {0x1.139f0cedaf577p-3, -0x1.523434d1b3cfap-57, 0x1.139f0d0000000p-3},
    {0x1.20116d4ec7bcfp-3, -0x1.242c8e1053452p-57, 0x1.20116d4000000p-3},
    {0x1.2c8106e8e613ap-3, 0x1.13000a89a11e0p-58, 0x1.2c81070000000p-3},
    {0x1.38edbb0cd8d14p-3, -0x1.198c21fbf7718p-57, 0x1.38edbb0000000p-3},
    {0x1.45576b1293e5ap-3, -0x1.285a24119f7b1p-58, 0x1.45576b0000000p-3},
    {0x1.51bdf8597c5f2p-3, -0x1.9f9976af04aa5p-61, 0x1.51bdf84000000p-3},
    {0x1.5e214448b3fc6p-3, 0x1.531ff779ddac6p-57, 0x1.5e21444000000p-3},
    {0x1.6a81304f64ab2p-3, 0x1.f0cd73fb5d8d4p-58, 0x1.6a81304000000p-3},
    {0x1.76dd9de50bf31p-3, 0x1.1d5eeec501b2fp-57, 0x1.76dd9e0000000p-3},
    {0x1.83366e89c64c6p-3, -0x1.192952df10db8p-57, 0x1.83366e8000000p-3},
    {0x1.8f8b83c69a60bp-3, -0x1.26d19b9ff8d82p-57, 0x1.8f8b83c000000p-3},
    {0x1.9bdcbf2dc4366p-3, 0x1.9632d189956fep-57, 0x1.9bdcbf4000000p-3},
    {0x1.a82a025b00451p-3, -0x1.87905ffd084adp-57, 0x1.a82a024000000p-3},
    {0x1.b4732ef3d6722p-3, 0x1.bbe5d5d75cbd8p-57, 0x1.b4732f0000000p-3},
    {0x1.c0b826a7e4f63p-3, -0x1.af1439e521935p-62, 0x1.c0b826c000000p-3},
    {0x1.ccf8cb312b286p-3, 0x1.2382b0aecadf8p-58, 0x1.ccf8cb4000000p-3},
    {0x1.d934fe5454311p-3, 0x1.75b92277107adp-57, 0x1.d934fe4000000p-3},
    {0x1.e56ca1e101a1bp-3, 0x1.46ac3f9fd0227p-57, 0x1.e56ca20000000p-3},
    {0x1.f19f97b215f1bp-3, -0x1.42deef11da2c4p-57, 0x1.f19f97c000000p-3},
    {0x1.fdcdc1adfedf9p-3, -0x1.2dba4580ed7bbp-57, 0x1.fdcdc1c000000p-3},
    {0x1.04fb80e37fdaep-2, -0x1.412cdb72583ccp-63, 0x1.04fb810000000p-2},
    {0x1.0b0d9cfdbdb90p-2, 0x1.3b3a7b8d1200dp-58, 0x1.0b0d9d0000000p-2},
    {0x1.111d262b1f677p-2, 0x1.824c20ab7aa9ap-56, 0x1.111d264000000p-2},
    {0x1.172a0d7765177p-2, 0x1.22575f33366bep-57, 0x1.172a0d8000000p-2},
    {0x1.1d3443f4cdb3ep-2, -0x1.720d41c13519ep-57, 0x1.1d34440000000p-2},
    {0x1.233bbabc3bb71p-2, 0x1.99b04e23259efp-56, 0x1.233bbac000000p-2},
    {0x1.294062ed59f06p-2, -0x1.5d28da2c4612dp-56, 0x1.2940630000000p-2},
    {0x1.2f422daec0387p-2, -0x1.7501ba473da6fp-56, 0x1.2f422dc000000p-2},
    {0x1.35410c2e18152p-2, -0x1.3cb002f96e062p-56, 0x1.35410c4000000p-2},
    {0x1.3b3cefa0414b7p-2, 0x1.f36dc4a9c2294p-56, 0x1.3b3cefc000000p-2},
    {0x1.4135c94176601p-2, 0x1.0c97c4afa2518p-56, 0x1.4135c94000000p-2},
    {0x1.472b8a5571054p-2, -0x1.01ea0fe4dff23p-56, 0x1.472b8a4000000p-2},
    {0x1.4d1e24278e76ap-2, 0x1.2417218792858p-57, 0x1.4d1e244000000p-2},
    {0x1.530d880af3c24p-2, -0x1.fab8e2103fbd6p-56, 0x1.530d880000000p-2},
    {0x1.58f9a75ab1fddp-2, -0x1.efdc0d58cf620p-62, 0x1.58f9a74000000p-2},
    {0x1.5ee27379ea693p-2, 0x1.634ff2fa75245p-56, 0x1.5ee2738000000p-2},
    {0x1.64c7ddd3f27c6p-2, 0x1.10d2b4a664121p-58, 0x1.64c7ddc000000p-2},
    {0x1.6aa9d7dc77e17p-2, -0x1.38b470592c7b3p-56, 0x1.6aa9d7c000000p-2},
    {0x1.7088530fa459fp-2, -0x1.44b19e0864c5dp-56, 0x1.7088530000000p-2},
    {0x1.766340f2418f6p-2, 0x1.2b2adc9041b2cp-56, 0x1.7663410000000p-2},
    {0x1.7c3a9311dcce7p-2, 0x1.9a3f21ef3e8d9p-62, 0x1.7c3a930000000p-2},
    {0x1.820e3b04eaac4p-2, -0x1.92379eb01c6b6p-59, 0x1.820e3b0000000p-2},
    {0x1.87de2a6aea963p-2, -0x1.72cedd3d5a610p-57, 0x1.87de2a8000000p-2},
    {0x1.8daa52ec8a4b0p-2, -0x1.72eb2db8c621ep-57, 0x1.8daa530000000p-2},
    {0x1.9372a63bc93d7p-2, 0x1.684319e5ad5b1p-57, 0x1.9372a64000000p-2},
    {0x1.993716141bdffp-2, -0x1.15e8cce261c55p-56, 0x1.9937160000000p-2},
    {0x1.9ef7943a8ed8ap-2, 0x1.6da81290bdbabp-57, 0x1.9ef7944000000p-2},
    {0x1.a4b4127dea1e5p-2, -0x1.bec6f01bc22f1p-56, 0x1.a4b4128000000p-2},
    {0x1.aa6c82b6d3fcap-2, -0x1.d5f106ee5ccf7p-56, 0x1.aa6c82c000000p-2},
    {0x1.b020d6c7f4009p-2, 0x1.414ae7e555208p-58, 0x1.b020d6c000000p-2},
    {0x1.b5d1009e15cc0p-2, 0x1.5b362cb974183p-57, 0x1.b5d1008000000p-2},
    {0x1.bb7cf2304bd01p-2, 0x1.9e1a5bd9269d4p-57, 0x1.bb7cf24000000p-2},
    {0x1.c1249d8011ee7p-2, -0x1.813aabb515206p-56, 0x1.c1249d8000000p-2},
    {0x1.c6c7f4997000bp-2, -0x1.bec2669c68e74p-56, 0x1.c6c7f48000000p-2},
    {0x1.cc66e9931c45ep-2, 0x1.6850e59c37f8fp-58, 0x1.cc66e98000000p-2},
    {0x1.d2016e8e9db5bp-2, -0x1.c8bce9d93efb8p-57, 0x1.d2016e8000000p-2},
    {0x1.d79775b86e389p-2, 0x1.550ec87bc0575p-56, 0x1.d79775c000000p-2},
    {0x1.dd28f1481cc58p-2, -0x1.e7576fa6c944ep-59, 0x1.dd28f14000000p-2},
    {0x1.e2b5d3806f63bp-2, 0x1.e0d891d3c6841p-58, 0x1.e2b5d38000000p-2},
    {0x1.e83e0eaf85114p-2, -0x1.7bc380ef24ba7p-57, 0x1.e83e0ec000000p-2},
    {0x1.edc1952ef78d6p-2, -0x1.dd0f7c33edee6p-56, 0x1.edc1954000000p-2},
    {0x1.f3405963fd067p-2, 0x1.06846d44a238fp-56, 0x1.f340598000000p-2},
    {0x1.f8ba4dbf89abap-2, -0x1.2ec1fc1b776b8p-60, 0x1.f8ba4dc000000p-2},
    {0x1.fe2f64be71210p-2, -0x1.297ab1ca2d7dbp-56, 0x1.fe2f64c000000p-2},
    {0x1.01cfc874c3eb7p-1, -0x1.34a35e7c2368cp-56, 0x1.01cfc88000000p-1},
    {0x1.0485626ae221ap-1, 0x1.b937d9091ff70p-55, 0x1.0485628000000p-1},
    {0x1.073879922ffeep-1, -0x1.a5a014347406cp-55, 0x1.0738798000000p-1},
    {0x1.09e907417c5e1p-1, -0x1.fe573741a9bd4p-55, 0x1.09e9074000000p-1},
    {0x1.0c9704d5d898fp-1, -0x1.8d3d7de6ee9b2p-55, 0x1.0c9704c000000p-1},
    {0x1.0f426bb2a8e7ep-1, -0x1.bb58fb774f8eep-55, 0x1.0f426bc000000p-1},
    {0x1.11eb3541b4b23p-1, -0x1.ef23b69abe4f1p-55, 0x1.11eb354000000p-1},
    {0x1.14915af336cebp-1, 0x1.f3660558a0213p-56, 0x1.14915b0000000p-1},
    {0x1.1734d63dedb49p-1, -0x1.7eef2ccc50575p-55, 0x1.1734d64000000p-1},
    {0x1.19d5a09f2b9b8p-1, -0x1.33656c68a1d4ap-57, 0x1.19d5a08000000p-1},
    {0x1.1c73b39ae68c8p-1, 0x1.b25dd267f6600p-55, 0x1.1c73b38000000p-1},
    {0x1.1f0f08bbc861bp-1, -0x1.10d9dcafb74cbp-57, 0x1.1f0f08c000000p-1},
    {0x1.21a799933eb59p-1, -0x1.3a7b177c68fb2p-55, 0x1.21a7998000000p-1},
    {0x1.243d5fb98ac1fp-1, 0x1.c533d0a284a8dp-56, 0x1.243d5fc000000p-1},
    {0x1.26d054cdd12dfp-1, -0x1.5da743ef3770cp-55, 0x1.26d054c000000p-1},
    {0x1.2960727629ca8p-1, 0x1.56d6c7af02d5cp-56, 0x1.2960728000000p-1},
    {0x1.2bedb25faf3eap-1, -0x1.14981c796ee46p-58, 0x1.2bedb24000000p-1},
    {0x1.2e780e3e8ea17p-1, -0x1.b19fafe36587ap-55, 0x1.2e780e4000000p-1},
    {0x1.30ff7fce17035p-1, -0x1.efcc626f74a6fp-57, 0x1.30ff7fc000000p-1},
    {0x1.338400d0c8e57p-1, -0x1.abf2a5e95e6e5p-55, 0x1.338400c000000p-1},
    {0x1.36058b10659f3p-1, -0x1.1fcb3a35857e7p-55, 0x1.36058b0000000p-1},
    {0x1.3884185dfeb22p-1, -0x1.a038026abe6b2p-56, 0x1.3884184000000p-1},
    {0x1.3affa292050b9p-1, 0x1.e3e25e3954964p-56, 0x1.3affa28000000p-1},
    {0x1.3d78238c58344p-1, -0x1.0219f5f0f79cep-55, 0x1.3d78238000000p-1},
    {0x1.3fed9534556d4p-1, 0x1.36916608c5061p-55, 0x1.3fed954000000p-1},
    {0x1.425ff178e6bb1p-1, 0x1.7b38d675140cap-55, 0x1.425ff18000000p-1},
    {0x1.44cf325091dd6p-1, 0x1.8076a2cfdc6b3p-57, 0x1.44cf324000000p-1},
    {0x1.473b51b987347p-1, 0x1.ca1953514e41bp-57, 0x1.473b51c000000p-1},
    {0x1.49a449b9b0939p-1, -0x1.27ee16d719b94p-55, 0x1.49a449c000000p-1},
    {0x1.4c0a145ec0004p-1, 0x1.2630cfafceaa1p-58, 0x1.4c0a144000000p-1},
    {0x1.4e6cabbe3e5e9p-1, 0x1.3c293edceb327p-57, 0x1.4e6cabc000000p-1},
    {0x1.50cc09f59a09bp-1, 0x1.693463a2c2e6fp-56, 0x1.50cc0a0000000p-1},
    {0x1.5328292a35596p-1, -0x1.a12eb89da0257p-56, 0x1.5328294000000p-1},
    {0x1.5581038975137p-1, 0x1.4570d9efe26dfp-55, 0x1.5581038000000p-1},
    {0x1.57d69348ceca0p-1, -0x1.75720992bfbb2p-55, 0x1.57d6934000000p-1},
    {0x1.5a28d2a5d7250p-1, 0x1.57a25f8b13430p-55, 0x1.5a28d2c000000p-1},
    {0x1.5c77bbe65018cp-1, 0x1.069ea9c0bc32ap-55, 0x1.5c77bc0000000p-1},
    {0x1.5ec3495837074p-1, 0x1.dea89a9b8f727p-56, 0x1.5ec3494000000p-1},
    {0x1.610b7551d2cdfp-1, -0x1.251b352ff2a37p-56, 0x1.610b754000000p-1},
    {0x1.63503a31c1be9p-1, 0x1.1248f09e6587cp-57, 0x1.63503a4000000p-1},
    {0x1.6591925f0783dp-1, 0x1.c3d64fbf5de23p-55, 0x1.6591924000000p-1},
    {0x1.67cf78491af10p-1, 0x1.750ab23477b61p-59, 0x1.67cf784000000p-1},
    {0x1.6a09e667f3bcdp-1, -0x1.bdd3413b26456p-55, 0x1.6a09e68000000p-1},
    {0x1.6c40d73c18275p-1, 0x1.25d4f802be257p-57, 0x1.6c40d74000000p-1},
    {0x1.6e74454eaa8afp-1, -0x1.dbc03c84e226ep-55, 0x1.6e74454000000p-1},
    {0x1.70a42b3176d7ap-1, -0x1.d9e3fbe2e15a0p-56, 0x1.70a42b4000000p-1},
    {0x1.72d0837efff96p-1, 0x1.0d4ef0f1d915cp-55, 0x1.72d0838000000p-1},
    {0x1.74f948da8d28dp-1, 0x1.19900a3b9a3a2p-63, 0x1.74f948c000000p-1},
    {0x1.771e75f037261p-1, 0x1.5cfce8d84068fp-56, 0x1.771e760000000p-1},
    {0x1.79400574f55e5p-1, -0x1.0adadbdb4c65ap-55, 0x1.7940058000000p-1},
    {0x1.7b5df226aafafp-1, -0x1.0f537acdf0ad7p-56, 0x1.7b5df24000000p-1},
    {0x1.7d7836cc33db2p-1, 0x1.162715ef03f85p-56, 0x1.7d7836c000000p-1},
    {0x1.7f8ece3571771p-1, -0x1.9c8d8ce93c917p-55, 0x1.7f8ece4000000p-1},
    {0x1.81a1b33b57accp-1, -0x1.5dea12d66bb66p-55, 0x1.81a1b34000000p-1},
    {0x1.83b0e0bff976ep-1, -0x1.6f420f8ea3475p-56, 0x1.83b0e0c000000p-1},
    {0x1.85bc51ae958ccp-1, 0x1.45ba6478086ccp-55, 0x1.85bc51c000000p-1},
    {0x1.87c400fba2ebfp-1, -0x1.2dabc0c3f64cdp-55, 0x1.87c4010000000p-1},
    {0x1.89c7e9a4dd4aap-1, 0x1.db6ea04a8678fp-55, 0x1.89c7e9c000000p-1},
    {0x1.8bc806b151741p-1, -0x1.2c5e12ed1336dp-55, 0x1.8bc806c000000p-1},
    {0x1.8dc45331698ccp-1, 0x1.1d9fcd83634d7p-57, 0x1.8dc4534000000p-1},
    {0x1.8fbcca3ef940dp-1, -0x1.6dfa99c86f2f1p-57, 0x1.8fbcca4000000p-1},
    {0x1.91b166fd49da2p-1, -0x1.3be953a7fe996p-57, 0x1.91b1670000000p-1},
    {0x1.93a22499263fbp-1, 0x1.3d419a920df0bp-55, 0x1.93a2248000000p-1},
    {0x1.958efe48e6dd7p-1, -0x1.561335da0f4e7p-55, 0x1.958efe4000000p-1},
    {0x1.9777ef4c7d742p-1, -0x1.15479a240665ep-55, 0x1.9777ef4000000p-1},
    {0x1.995cf2ed80d22p-1, 0x1.7783e907fbd7bp-56, 0x1.995cf30000000p-1},
    {0x1.9b3e047f38741p-1, -0x1.30ee286712474p-55, 0x1.9b3e048000000p-1},
    {0x1.9d1b1f5ea80d5p-1, 0x1.c5fadd5ffb36fp-55, 0x1.9d1b1f4000000p-1},
    {0x1.9ef43ef29af94p-1, 0x1.b1dfcb60445c2p-56, 0x1.9ef43f0000000p-1},
    {0x1.a0c95eabaf937p-1, -0x1.e0ca3acbd049ap-55, 0x1.a0c95ec000000p-1},
    {0x1.a29a7a0462782p-1, -0x1.128bb015df175p-56, 0x1.a29a7a0000000p-1},
    {0x1.a4678c8119ac8p-1, 0x1.1b4c0dd3f212ap-55, 0x1.a4678c8000000p-1},
    {0x1.a63091b02fae2p-1, -0x1.e911152248d10p-56, 0x1.a63091c000000p-1},
    {0x1.a7f58529fe69dp-1, -0x1.97a441584a179p-55, 0x1.a7f5854000000p-1},
    {0x1.a9b66290ea1a3p-1, 0x1.9f630e8b6dac8p-60, 0x1.a9b6628000000p-1},
    {0x1.ab7325916c0d4p-1, 0x1.a8b8c85baaa9bp-55, 0x1.ab73258000000p-1},
    {0x1.ad2bc9e21d511p-1, -0x1.47fbe07bea548p-55, 0x1.ad2bca0000000p-1},
    {0x1.aee04b43c1474p-1, -0x1.3a79a438bf8ccp-55, 0x1.aee04b4000000p-1},
    {0x1.b090a58150200p-1, -0x1.926da300ffccep-55, 0x1.b090a58000000p-1},
    {0x1.b23cd470013b4p-1, 0x1.5a1bb35ad6d2ep-56, 0x1.b23cd48000000p-1},
    {0x1.b3e4d3ef55712p-1, -0x1.eb6b8bf11a493p-55, 0x1.b3e4d40000000p-1},
    {0x1.b5889fe921405p-1, -0x1.df49b307c8602p-57, 0x1.b588a00000000p-1},
    {0x1.b728345196e3ep-1, -0x1.bc69f324e6d61p-55, 0x1.b728344000000p-1},
    {0x1.b8c38d27504e9p-1, -0x1.1529abff40e45p-55, 0x1.b8c38d4000000p-1},
    {0x1.ba5aa673590d2p-1, 0x1.7ea4e370753b6p-55, 0x1.ba5aa68000000p-1},
    {0x1.bbed7c49380eap-1, 0x1.beacbd88500b4p-59, 0x1.bbed7c4000000p-1},
    {0x1.bd7c0ac6f952ap-1, -0x1.825a732ac700ap-55, 0x1.bd7c0ac000000p-1},
    {0x1.bf064e15377ddp-1, 0x1.2156026a1e028p-57, 0x1.bf064e0000000p-1},
    {0x1.c08c426725549p-1, 0x1.b157fd80e2946p-58, 0x1.c08c428000000p-1},
    {0x1.c20de3fa971b0p-1, -0x1.b4ca2bab1322cp-55, 0x1.c20de40000000p-1},
    {0x1.c38b2f180bdb1p-1, -0x1.6e0b1757c8d07p-56, 0x1.c38b2f0000000p-1},
    {0x1.c5042012b6907p-1, -0x1.5c058dd8eaba5p-57, 0x1.c504200000000p-1},
    {0x1.c678b3488739bp-1, 0x1.d86cac7c5ff5bp-57, 0x1.c678b34000000p-1},
    {0x1.c7e8e52233cf3p-1, 0x1.b2ad324aa35c1p-57, 0x1.c7e8e54000000p-1},
    {0x1.c954b213411f5p-1, -0x1.2fb761e946603p-58, 0x1.c954b20000000p-1},
    {0x1.cabc169a0b900p-1, 0x1.c42d3e10851d1p-55, 0x1.cabc168000000p-1},
    {0x1.cc1f0f3fcfc5cp-1, 0x1.e57613b68f6abp-56, 0x1.cc1f0f4000000p-1},
    {0x1.cd7d9898b32f6p-1, -0x1.f2fa062496738p-57, 0x1.cd7d988000000p-1},
    {0x1.ced7af43cc773p-1, -0x1.e7b6bb5ab58aep-58, 0x1.ced7af4000000p-1},
    {0x1.d02d4feb2bd92p-1, 0x1.195ff41bc55fep-55, 0x1.d02d500000000p-1},
    {0x1.d17e7743e35dcp-1, -0x1.101da3540130ap-58, 0x1.d17e774000000p-1},
    {0x1.d2cb220e0ef9fp-1, -0x1.f07656d4e6652p-56, 0x1.d2cb220000000p-1},
    {0x1.d4134d14dc93ap-1, -0x1.4ef5295d25af2p-55, 0x1.d4134d0000000p-1},
    {0x1.d556f52e93eb1p-1, -0x1.80ed9233a9630p-55, 0x1.d556f54000000p-1},
    {0x1.d696173c9e68bp-1, -0x1.e8c61c6393d55p-56, 0x1.d696174000000p-1},
    {0x1.d7d0b02b8ecf9p-1, 0x1.800f4ce65cd6ep-55, 0x1.d7d0b04000000p-1},
    {0x1.d906bcf328d46p-1, 0x1.457e610231ac2p-56, 0x1.d906bd0000000p-1},
    {0x1.da383a9668988p-1, -0x1.5811000b39d84p-55, 0x1.da383a8000000p-1},
    {0x1.db6526238a09bp-1, -0x1.adee7eae69460p-56, 0x1.db65264000000p-1},
    {0x1.dc8d7cb410260p-1, 0x1.6b7872773830dp-56, 0x1.dc8d7cc000000p-1},
    {0x1.ddb13b6ccc23cp-1, 0x1.83c37c6107db3p-55, 0x1.ddb13b8000000p-1},
    {0x1.ded05f7de47dap-1, -0x1.2cc4c1f8ba966p-55, 0x1.ded05f8000000p-1},
    {0x1.dfeae622dbe2bp-1, -0x1.514ea88425567p-55, 0x1.dfeae64000000p-1},
    {0x1.e100cca2980acp-1, -0x1.02d182acdf825p-57, 0x1.e100ccc000000p-1},
    {0x1.e212104f686e5p-1, -0x1.014c76c126527p-55, 0x1.e212104000000p-1},
    {0x1.e31eae870ce25p-1, -0x1.bc7094538d678p-56, 0x1.e31eae8000000p-1},
    {0x1.e426a4b2bc17ep-1, 0x1.a873889744882p-55, 0x1.e426a4c000000p-1},
    {0x1.e529f04729ffcp-1, 0x1.9075d6e6dfc8bp-55, 0x1.e529f04000000p-1},
    {0x1.e6288ec48e112p-1, -0x1.16b56f2847754p-57, 0x1.e6288ec000000p-1},
    {0x1.e7227db6a9744p-1, 0x1.2128794da5a50p-55, 0x1.e7227dc000000p-1},
    {0x1.e817bab4cd10dp-1, -0x1.d0afe686b5e0ap-56, 0x1.e817bac000000p-1},
    {0x1.e9084361df7f2p-1, 0x1.cdfc7ce9dc3e9p-55, 0x1.e908438000000p-1},
    {0x1.e9f4156c62ddap-1, 0x1.760b1e2e3f81ep-55, 0x1.e9f4158000000p-1},
    {0x1.eadb2e8e7a88ep-1, -0x1.92ec52ea226a3p-55, 0x1.eadb2e8000000p-1},
    {0x1.ebbd8c8df0b74p-1, 0x1.c6c8c615e7277p-56, 0x1.ebbd8c8000000p-1},
    {0x1.ec9b2d3c3bf84p-1, 0x1.19119d358de05p-56, 0x1.ec9b2d4000000p-1},
    {0x1.ed740e7684963p-1, 0x1.e82c791f59cc2p-56, 0x1.ed740e8000000p-1},
    {0x1.ee482e25a9dbcp-1, -0x1.b6066ef81af2ap-56, 0x1.ee482e4000000p-1},
    {0x1.ef178a3e473c2p-1, 0x1.6310a67fe774fp-55, 0x1.ef178a4000000p-1},
    {0x1.efe220c0b95ecp-1, 0x1.c853b7bf7e0cdp-55, 0x1.efe220c000000p-1},
    {0x1.f0a7efb9230d7p-1, 0x1.52c7adc6b4989p-56, 0x1.f0a7efc000000p-1},
    {0x1.f168f53f7205dp-1, -0x1.26a6c1f015601p-57, 0x1.f168f54000000p-1},
    {0x1.f2252f7763adap-1, -0x1.20cb81c8d94abp-55, 0x1.f2252f8000000p-1},
    {0x1.f2dc9c9089a9dp-1, 0x1.5407460bdfc07p-59, 0x1.f2dc9c8000000p-1},
    {0x1.f38f3ac64e589p-1, -0x1.d7bafb51f72e6p-56, 0x1.f38f3ac000000p-1},
    {0x1.f43d085ff92ddp-1, -0x1.8fde71e361c05p-55, 0x1.f43d084000000p-1},
    {0x1.f4e603b0b2f2dp-1, -0x1.8ee01e695ac05p-56, 0x1.f4e603c000000p-1},
    {0x1.f58a2b1789e84p-1, 0x1.1f4a188aa3680p-56, 0x1.f58a2b0000000p-1},
    {0x1.f6297cff75cb0p-1, 0x1.562172a361fd3p-56, 0x1.f6297d0000000p-1},
    {0x1.f6c3f7df5bbb7p-1, 0x1.8561ce9d5ef5bp-56, 0x1.f6c3f7c000000p-1},
    {0x1.f7599a3a12077p-1, 0x1.84f31d743195cp-55, 0x1.f7599a4000000p-1},
    {0x1.f7ea629e63d6ep-1, 0x1.ba92d57ebfeddp-55, 0x1.f7ea628000000p-1},
    {0x1.f8764fa714ba9p-1, 0x1.ab256778ffcb6p-56, 0x1.f8764fc000000p-1},
    {0x1.f8fd5ffae41dbp-1, -0x1.8cfd77fd970d2p-56, 0x1.f8fd600000000p-1},
    {0x1.f97f924c9099bp-1, -0x1.e2ae0eea5963bp-55, 0x1.f97f924000000p-1},
    {0x1.f9fce55adb2c8p-1, 0x1.f2a06fab9f9d1p-56, 0x1.f9fce54000000p-1},
    {0x1.fa7557f08a517p-1, -0x1.7a0a8ca13571fp-55, 0x1.fa75580000000p-1},
    {0x1.fae8e8e46cfbbp-1, -0x1.3a9e414732d97p-56, 0x1.fae8e90000000p-1},
    {0x1.fb5797195d741p-1, 0x1.1bfac7397cc08p-56, 0x1.fb57970000000p-1},
    {0x1.fbc1617e44186p-1, -0x1.58ec496dc4ecbp-59, 0x1.fbc1618000000p-1},
    {0x1.fc26470e19fd3p-1, 0x1.1ec8668ecaceep-55, 0x1.fc26470000000p-1},
    {0x1.fc8646cfeb721p-1, 0x1.3143dc43a9b9dp-55, 0x1.fc8646c000000p-1},
    {0x1.fce15fd6da67bp-1, -0x1.5dd6f830d4c09p-56, 0x1.fce15fc000000p-1},
    {0x1.fd37914220b84p-1, 0x1.52e9d7b772791p-55, 0x1.fd37914000000p-1},
    {0x1.fd88da3d12526p-1, -0x1.87df6378811c7p-55, 0x1.fd88da4000000p-1},
    {0x1.fdd539ff1f456p-1, -0x1.ab13cbbec1781p-56, 0x1.fdd53a0000000p-1},
    {0x1.fe1cafcbd5b09p-1, 0x1.a23e3202a884ep-57, 0x1.fe1cafc000000p-1},
    {0x1.fe5f3af2e3940p-1, 0x1.b213f18c9cf17p-55, 0x1.fe5f3b0000000p-1},
    {0x1.fe9cdad01883ap-1, 0x1.521ecd0c67e35p-57, 0x1.fe9cdac000000p-1},
    {0x1.fed58ecb673c4p-1, -0x1.e6e462a7ae686p-56, 0x1.fed58ec000000p-1},
    {0x1.ff095658e71adp-1, 0x1.01a8ce18a4b9ep-55, 0x1.ff09564000000p-1},
    {0x1.ff3830f8d575cp-1, -0x1.95e1e79d335f7p-56, 0x1.ff38310000000p-1},
    {0x1.ff621e3796d7ep-1, -0x1.c57bc2e24aa15p-57, 0x1.ff621e4000000p-1},
    {0x1.ff871dadb81dfp-1, 0x1.8b1c676208aa4p-56, 0x1.ff871dc000000p-1},
    {0x1.ffa72effef75dp-1, -0x1.8b4cdcdb25956p-55, 0x1.ffa72f0000000p-1},
    {0x1.ffc251df1d3f8p-1, 0x1.7a7d209f32d43p-56, 0x1.ffc251c000000p-1},
    {0x1.ffd886084cd0dp-1, -0x1.1354d4556e4cbp-55, 0x1.ffd8860000000p-1},
    {0x1.ffe9cb44b51a1p-1, 0x1.5b43366df6670p-56, 0x1.ffe9cb4000000p-1},
    {0x1.fff62169b92dbp-1, 0x1.5dda3c81fbd0dp-55, 0x1.fff6218000000p-1},
    {0x1.fffd8858e8a92p-1, 0x1.359c71883bcf7p-55, 0x1.fffd884000000p-1},
    {0x1.0000000000000p+0, 0.0, 0x1.0000000000000p+0},
};

constexpr std::array<TrigEntry, 1024> fullTable() {
  std::array<TrigEntry, 1024> t{};
  for (int j = 0; j < 1024; ++j) {
    const int i = j % 256, q = j / 256;
    const double* e = kSinQuarter[(q & 1) != 0 ? 256 - i : i];
    const double sign = (q & 2) != 0 ? -1.0 : 1.0;
    const double hi = sign * e[0], lo = sign * e[1], hh = sign * e[2];
    t[static_cast<std::size_t>(j)] = {hi, lo, hh, (hi - hh) + lo};
  }
  return t;
}

}  // namespace

alignas(64) constinit const std::array<TrigEntry, 1024> kSinTable = fullTable();

const std::uint64_t kTwoOverPi[kTwoOverPiWords] = {
    0xA2F9836E4E441529u, 0xFC2757D1F534DDC0u, 0xDB6295993C439041u, 0xFE5163ABDEBBC561u,
    0xB7246E3A424DD2E0u, 0x06492EEA09D1921Cu, 0xFE1DEB1CB129A73Eu, 0xE88235F52EBB4484u,
    0xE99C7026B45F7E41u, 0x3991D639835339F4u, 0x9C845F8BBDF9283Bu, 0x1FF897FFDE05980Fu,
    0xEF2F118B5A0A6D1Fu, 0x6D367ECF27CB09B7u, 0x4F463F669E5FEA2Du, 0x7527BAC7EBE5F17Bu,
    0x3D0739F78A5292EAu, 0x6BFB5FB11F8D5D08u, 0x56033046FC7B6BABu, 0xF0CFBC209AF4361Du,
    0xA9E391615EE61B08u, 0x6599855F14A06840u, 0x8DFFD8804D732731u, 0x06061556CA73A8C9u,
    0x60E27BC08C6B47C4u, 0x19C367CDDCE8092Au, 0x8359C4768B961CA6u, 0xDDAF44D15719053Eu,
    0xA5FF07053F7E33E8u, 0x32C2DE4F98327DBBu, 0xC33D26EF6B1E5EF8u, 0x9F3A1F35CAF27F1Du,
    0x87F121907C7C246Au, 0xFA6ED5772D30433Bu,
};

const std::uint64_t kHalfPi[16] = {
    0x0000000000000001u, 0x921FB54442D18469u, 0x898CC51701B839A2u, 0x52049C1114CF98E8u,
    0x04177D4C76273644u, 0xA29410F31C6809BBu, 0xDF2A33679A748636u, 0x605614DBE4BE286Eu,
    0x9FC26ADADAA3848Bu, 0xC90B6AECC4BCFD8Du, 0xE89885D34C6FDAD6u, 0x17FEB96DE80D6FDBu,
    0xDC70D7F6B5133F4Bu, 0x5D3E4822F8963FCCu, 0x9250CCA3D9C8B67Bu, 0x8400F97142C77E0Bu,
};

// |x| >= 2^14: y = x * 512/pi from the 53-bit significand times the bits of 2/pi that matter
// (those that make y mod 1024 and 128 bits of its fraction), in integers: y's fraction is off by
// less than 2^-127. The fraction f, rounded so |f| <= 1/2, goes to double-double through a
// normalised 106-bit cut (2^-105 relative), and r = f * pi/512 in double-double (2^-104).
TrigReduced reduceLarge(double ax) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(ax);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>(bits >> 52) - 1075;
  const Fixed<3> y = scaledTwoOverPi<3>(m, e + 8);
  auto n = static_cast<std::uint32_t>(y.w[2]);
  U128 frac = (static_cast<U128>(y.w[1]) << 64) | y.w[0];
  bool negative = false;
  if ((y.w[1] >> 63) != 0) {
    ++n;
    frac = -frac;
    negative = true;
  }
  if (frac == 0) return {n, 0.0, 0.0, 1.0};  // never for a double; the exact path decides
  const auto top = static_cast<std::uint64_t>(frac >> 64);
  const int z =
      top != 0 ? std::countl_zero(top) : 64 + std::countl_zero(static_cast<std::uint64_t>(frac));
  const U128 mm = frac << z;
  const auto t = static_cast<std::uint64_t>(mm >> 64);
  const auto b = static_cast<std::uint64_t>(mm);
  const double fh = static_cast<double>(t >> 11) * pow2(-53 - z);
  const double fl = static_cast<double>(((t & 0x7FF) << 42) | (b >> 22)) * pow2(-106 - z);
  const DoubleDouble p = twoProd(fh, kPiOver512Hi);
  const DoubleDouble r = fastTwoSum(p.hi, p.lo + (fh * kPiOver512Lo + fl * kPiOver512Hi));
  if (negative) return {n, -r.hi, -r.lo, 0x1p-134};
  return {n, r.hi, r.lo, 0x1p-134};
}

namespace {

[[nodiscard]] double nextUp(double y) noexcept {
  const auto b = std::bit_cast<std::uint64_t>(y);
  if (y == 0.0) return 0x1p-1074;
  return std::bit_cast<double>(y > 0.0 ? b + 1 : b - 1);
}

[[nodiscard]] double nextDown(double y) noexcept { return -nextUp(-y); }

// Whether tan = num/den (den > 0, both within err units) lies above (+1) or below (-1) the
// midpoint between y and its neighbour in direction dir; 0 when undecided at this precision.
template <int N>
[[nodiscard]] int sideOfMidpoint(const Fixed<N>& num, const Fixed<N>& den, std::uint64_t err,
                                 double y, int dir) noexcept {
  const double neighbour = dir > 0 ? nextUp(y) : nextDown(y);
  const double half = (neighbour - y) * 0.5;   // exact
  if (!(y < 0x1p62 && y > -0x1p62)) return 0;  // |tan| of a double stays below 2^61
  bool exact_y = false, exact_h = false;
  const Fixed<N> mid = Fixed<N>::fromDouble(y, &exact_y) + Fixed<N>::fromDouble(half, &exact_h);
  if (!exact_y || !exact_h) return 0;
  // num - mid*den: err from num, |mid| err from den, one unit from the truncated product.
  const double amid = y < 0.0 ? -y : y;
  const U128 bound = static_cast<U128>(err) * (static_cast<std::uint64_t>(amid) + 3) + err + 1;
  if (bound >= (U128{1} << 62)) return 0;
  return signWithin(num - mid.mul(den), static_cast<std::uint64_t>(bound));
}

}  // namespace

// x = ax * (2/pi) reduced modulo 4 to the nearest quarter turn q and f in [-1/2, 1/2]; r =
// f * pi/2. Errors in units: y is low by less than 2, pi/2 is truncated (|f| <= 1/2 of a unit)
// and the product truncated (1): r is within 2 pi/2 + 1.5 < 5 units, and so are sin r and cos r
// (both 1-Lipschitz) apart from the series' own error.
template <int N>
bool trigExact(double ax, int fn, double* out) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(ax);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>(bits >> 52) - 1075;
  Fixed<N> y = scaledTwoOverPi<N>(m, e);
  std::uint64_t q = y.w[N - 1];
  if ((y.w[N - 2] >> 63) != 0) {
    ++q;
    y.w[N - 1] = ~std::uint64_t{0};
  } else {
    y.w[N - 1] = 0;
  }
  const Fixed<N> r = y.mul(Fixed<N>::fromLimbsMsbFirst(kHalfPi));
  Fixed<N> s, c;
  const std::uint64_t err = sinCosSeries(r, &s, &c) + 5;
  q &= 3;
  if (fn != 2) {
    const std::uint64_t k = (q + static_cast<std::uint64_t>(fn)) & 3;
    const Fixed<N> v = (k & 2) != 0 ? ((k & 1) != 0 ? c : s).neg() : ((k & 1) != 0 ? c : s);
    *out = v.toDouble();
    return roundWithin(v, err, out);
  }
  Fixed<N> num = (q & 1) != 0 ? c.neg() : s;
  Fixed<N> den = (q & 1) != 0 ? s : c;
  if (den.isNegative()) {
    num = num.neg();
    den = den.neg();
  }
  if (signWithin(den, err) <= 0) return false;
  double t = num.toDouble() / den.toDouble();
  *out = t;
  for (int iter = 0; iter < 16; ++iter) {
    const int up = sideOfMidpoint(num, den, err, t, 1);
    if (up == 0) return false;
    if (up > 0) {
      t = nextUp(t);
      continue;
    }
    const int down = sideOfMidpoint(num, den, err, t, -1);
    if (down == 0) return false;
    if (down < 0) {
      t = nextDown(t);
      continue;
    }
    *out = t;
    return true;
  }
  return false;
}

// Ziv's strategy: 128, 256, 512 and 960 fraction bits. sin, cos and tan of a non-zero double are
// never a double nor a midpoint, so some precision decides; the hardest doubles need about 120
// bits beyond the result's 53, so the first or second level decides in practice and the last
// one's result is returned as it is.
double trigSlow(double ax, int fn) noexcept {
  double out = 0.0;
  if (trigExact<3>(ax, fn, &out)) return out;
  if (trigExact<5>(ax, fn, &out)) return out;
  if (trigExact<9>(ax, fn, &out)) return out;
  (void)trigExact<16>(ax, fn, &out);
  return out;
}

bool trigExactForTest(double ax, int fn, int limbs, double* out) noexcept {
  switch (limbs) {
    case 3:
      return trigExact<3>(ax, fn, out);
    case 5:
      return trigExact<5>(ax, fn, out);
    case 9:
      return trigExact<9>(ax, fn, out);
    default:
      return trigExact<16>(ax, fn, out);
  }
}

}  // namespace nemra_kernel::detail
