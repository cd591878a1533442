// Reads every scale of an orva-opcua gateway: its weight, whether it is
// settled, and the status of the value (Good, or why not).
//   node read-scales.js [opc.tcp://127.0.0.1:4840]
const { OPCUAClient, AttributeIds, BrowseDirection, MessageSecurityMode, SecurityPolicy } = require("node-opcua");

async function main(url) {
  const client = OPCUAClient.create({
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None, // loopback; see "Securing it" for a plant network
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0 },
  });
  await client.connect(url);
  const session = await client.createSession();
  // The gateway's scales are under Objects/DeviceSet; each is a SimpleScaleType.
  const children = async (nodeId) => {
    const result = await session.browse({ nodeId, browseDirection: BrowseDirection.Forward, resultMask: 63 });
    return Object.fromEntries(result.references.map((r) => [r.browseName.name, r.nodeId]));
  };
  const deviceSet = (await children("ns=0;i=85")).DeviceSet;
  for (const [id, scale] of Object.entries(await children(deviceSet))) {
    const weight = await children((await children(scale)).CurrentWeight);
    const [gross, stable, unit] = await session.read(
      [weight.Gross, weight.WeightStable, weight.EngineeringUnits].map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
    );
    if (gross.statusCode.isGood())
      console.log(`${id}: ${gross.value.value} ${unit.value.value.displayName.text}${stable.value.value ? ", settled" : ""}`);
    else console.log(`${id}: no weight (${gross.statusCode.name})`);
  }
  await session.close();
  await client.disconnect();
}

main(process.argv[2] || "opc.tcp://127.0.0.1:4840").catch((e) => {
  console.error(e.message);
  process.exit(1);
});
