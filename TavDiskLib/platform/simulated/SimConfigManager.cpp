// SPDX-License-Identifier: MIT
// The configuration manager calls of the simulated machine: a device node's
// parent and its instance identifier.
#include "SimCall.h"

namespace TavSim {
namespace {

// The shared part of the calls on one device node: the request names the
// node's disk, the output pointer must be given, and the node must exist.
// Null: the call has failed, and c.Failed() is its answer.
const DeviceNode *BeginOnNode(CodeCall &c, DEVINST dn, ULONG flags, const void *output) {
    if (!c.Begin([&] {
            c.req.flags = flags;
            c.req.disk = c.DiskOfDevInst(dn);
        }))
        return nullptr;
    if (!output) {
        c.Code(CR_INVALID_POINTER);
        return nullptr;
    }
    if (dn == 0) {
        c.Code(CR_INVALID_DEVNODE);
        return nullptr;
    }
    const DeviceNode *node = c.Node(dn);
    if (!node)
        c.Code(CR_NO_SUCH_DEVNODE);
    return node;
}

} // namespace
} // namespace TavSim

namespace TavPlatform {

using namespace TavSim;

CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    CodeCall c(Op::CM_Get_Parent, CR_NO_SUCH_DEVNODE);
    const DeviceNode *node = BeginOnNode(c, dnDevInst, ulFlags, pdnDevInst);
    if (!node)
        return c.Failed();
    if (node->parent == 0)
        return c.Code(CR_NO_SUCH_DEVNODE);
    c.PutAt(pdnDevInst, 0, &node->parent, sizeof(DEVINST));
    return c.Code(CR_SUCCESS);
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    CodeCall c(Op::CM_Get_Device_ID_Size, CR_NO_SUCH_DEVNODE);
    const DeviceNode *node = BeginOnNode(c, dnDevInst, ulFlags, pulLen);
    if (!node)
        return c.Failed();
    const ULONG length = static_cast<ULONG>(node->instanceId.size()); // without the terminator
    c.PutAt(pulLen, 0, &length, sizeof length);
    return c.Code(CR_SUCCESS);
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    CodeCall c(Op::CM_Get_Device_IDW, CR_NO_SUCH_DEVNODE);
    c.req.outSize = BufferLen;
    const DeviceNode *node = BeginOnNode(c, dnDevInst, ulFlags, Buffer);
    if (!node)
        return c.Failed();
    const size_t length = node->instanceId.size();
    if (BufferLen < length)
        return c.Code(CR_BUFFER_SMALL);
    // A buffer of exactly the length receives the identifier without terminator.
    const size_t chars = BufferLen > length ? length + 1 : length;
    c.PutAt(Buffer, 0, node->instanceId.c_str(), chars * sizeof(WCHAR));
    return c.Code(CR_SUCCESS);
}

} // namespace TavPlatform
