#pragma once
// What the fuzz targets share: a realistic simulated plant, the INFO of
// every answer of the command set built from it (the simulator's builders),
// child devices bound to a test host and primed with valid answers, and
// byte images of device state for "nothing changed" checks.
#include "ac/ac_models.h"
#include "dc/dc_models.h"
#include "rc/rc_models.h"
#include "tests/support/test_host.h"
#include "tools/sim/info_builder.h"
#include "tools/sim/plant.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace rig {

using Bytes = std::vector<std::uint8_t>;

// The decoders' diagnostic lines (DC 42_41, rectifier restore) go to stdout;
// the targets send them nowhere.
void QuietStdout();

// acUnits AC units of `channels` channels, dcUnits DC units, `modules`
// rectifier modules, values varied by seed.
sim::Plant SamplePlant(int acUnits, int channels, int dcUnits, int modules, unsigned seed);

// The INFO of the answer to the request (cid1, cid2), for the model's
// layouts, with dataflag as its DATAFLAG where it has one.
Bytes InfoFor(const sim::Plant& plant, sim::Model model, std::uint8_t cid1, std::uint8_t cid2,
              std::uint8_t dataflag);

// Children configured under the host's parent device, trace lines off.
std::shared_ptr<tvr27pkAC> MakeAc(testhost::Host& host, std::uint32_t id);
std::shared_ptr<tvr27pkDC> MakeDc(testhost::Host& host, std::uint32_t id);
std::shared_ptr<tvr27pkRC> MakeRc(testhost::Host& host, std::uint32_t id);

// Feeds every answer kind of the child once, valid, and checks it is taken whole.
void PrimeAc(tvr27pkAC& ac, const sim::AcUnit& unit);
void PrimeDc(tvr27pkDC& dc, const sim::DcUnit& unit);
void PrimeRc(tvr27pkRC& rc, const sim::Plant& plant);

// The bytes of everything a decoder or a restore may change.
Bytes StateOf(const tvr27pkAC& ac);
Bytes StateOf(const tvr27pkDC& dc);
Bytes StateOf(const tvr27pkRC& rc);

template <typename T>
Bytes BytesOf(const T& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    return Bytes(p, p + sizeof(T));
}

}  // namespace rig
