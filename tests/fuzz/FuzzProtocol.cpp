// SPDX-License-Identifier: MIT
// The protocol decoders over any bytes: the input is an answer of any
// length, given to every decoder that reads device answers (sense data,
// VPD pages, command blocks, SMART blocks, the NVMe health log, SCSI log
// pages, world-wide name designators). The copy is exactly as long as the
// input, so AddressSanitizer sees every read past what arrived; the
// results must stay within what the protocols allow.
#include "TavDiskLib/protocol/Health.h"
#include "TavDiskLib/protocol/Identifiers.h"
#include "TavDiskLib/protocol/Scsi.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace TavProtocol;

namespace {

void Require(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "protocol decoder: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> answer(data, data + size);
    const uint8_t *p = answer.empty() ? nullptr : answer.data();

    (void)SenseKeyOf(p, size);
    (void)AnnouncedAllocationLength(p, size);
    (void)AtaPassThroughCommand(p, size);
    Require(DecodeUnitSerialNumber(p, size).size() <= size, "a serial number longer than the page");
    (void)AtaReturnedLba(p, size);

    // The first half as READ DATA, the second as READ THRESHOLDS.
    const size_t half = size / 2;
    const auto attributes = DecodeSmartAttributes(p, half, p ? p + half : nullptr, size - half);
    Require(attributes.size() <= SmartEntryCount, "more attributes than a block has entries");
    const SmartSummary summary = SummarizeSmartAttributes(attributes);
    Require(!summary.temperature || (*summary.temperature >= 0 && *summary.temperature <= 255),
            "a temperature outside a byte");

    if (auto h = DecodeNvmeHealthLog(p, size))
        Require(!h->temperature || (*h->temperature >= -272 && *h->temperature <= 65535 - 273),
                "a temperature the log cannot hold");
    (void)DecodeTemperaturePage(p, size);
    (void)DecodeInformationalExceptionsPage(p, size);
    for (uint8_t page : {LogPageTemperature, LogPageInformationalExceptions})
        (void)LogPageListed(p, size, page);

    Require(DecodeDeviceIdentification(p, size).size() <= 4 + 2 * size, "a name longer than its page");
    Require(NvmeNamespaceName(p, size).size() <= 4 + 32, "a namespace name longer than an NGUID");
    if (size >= IdentifyLength)
        Require(IdentifyWorldWideName(p).size() <= 4 + 16, "a world wide name longer than 64 bits");
    return 0;
}
