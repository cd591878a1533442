"use strict";
// A node-opcua client for the tests, with its own certificate folder.
const path = require("node:path");
const {
  OPCUAClient,
  OPCUACertificateManager,
  MessageSecurityMode,
  SecurityPolicy,
  AttributeIds,
  BrowseDirection,
  NodeClass,
} = require("node-opcua");

const SCALES_NS = "http://opcfoundation.org/UA/Scales/V2/";

async function connect(url, dir, { securityMode = MessageSecurityMode.None, securityPolicy = SecurityPolicy.None, user } = {}) {
  const clientCertificateManager = new OPCUACertificateManager({
    rootFolder: path.join(dir, "client-pki"),
    automaticallyAcceptUnknownCertificate: true,
  });
  const client = OPCUAClient.create({
    applicationName: "orva-opcua-test",
    endpointMustExist: false,
    securityMode,
    securityPolicy,
    clientCertificateManager,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    requestedSessionTimeout: 120000,
    keepSessionAlive: true,
  });
  let session;
  try {
    await client.connect(url);
    session = await client.createSession(user ? { type: 1, userName: user.name, password: user.password } : undefined);
  } catch (e) {
    // A refused client must not stay behind, retrying.
    await client.disconnect().catch(() => {});
    await clientCertificateManager.dispose().catch(() => {});
    throw e;
  }
  const namespaces = (await session.readNamespaceArray()) || [];
  return {
    client,
    session,
    scalesNs: namespaces.indexOf(SCALES_NS),
    async close() {
      await session.close().catch(() => {});
      await client.disconnect();
      await clientCertificateManager.dispose().catch(() => {});
    },
    async read(nodeId) {
      return session.read({ nodeId, attributeId: AttributeIds.Value });
    },
    // The forward hierarchical children of a node as { name -> reference }.
    async children(nodeId) {
      const result = await session.browse({
        nodeId,
        browseDirection: BrowseDirection.Forward,
        referenceTypeId: "HierarchicalReferences",
        includeSubtypes: true,
        nodeClassMask: 0,
        resultMask: 63,
      });
      const out = {};
      for (const r of result.references || []) out[r.browseName.name] = r;
      return out;
    },
    async child(nodeId, ...names) {
      let id = nodeId;
      for (const name of names) {
        const kids = await this.children(id);
        if (!kids[name]) throw new Error(`${id.toString()} has no child ${name} (${Object.keys(kids).join(", ")})`);
        id = kids[name].nodeId;
      }
      return id;
    },
  };
}

module.exports = { connect, NodeClass };
