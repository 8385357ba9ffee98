// A server that trusts only what its pki folder (node-opcua's layout) holds, and a client with a certificate
// of its own. Prints FIRST CONNECTED|REFUSED, then for each line "connected" or "refused" on standard input
// retries for up to 30 s (the server sees folder changes asynchronously, late on a busy machine) and prints
// NOW and what it got.
import { MessageSecurityMode as Mode, OPCUACertificateManager as Manager, OPCUAClient, OPCUAServer,
    SecurityPolicy as Policy } from "node-opcua";
import { createInterface } from "node:readline";

const [pki, clientPki] = process.argv.slice(2);
const security = { securityPolicy: Policy.Basic256Sha256, securityMode: Mode.SignAndEncrypt };
const server = new OPCUAServer({ host: "127.0.0.1", hostname: "127.0.0.1", port: 0,
    securityPolicies: [security.securityPolicy], securityModes: [security.securityMode],
    serverCertificateManager: new Manager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: false }) });
await server.start();
const clientCertificateManager = new Manager({ rootFolder: clientPki, automaticallyAcceptUnknownCertificate: true });
await clientCertificateManager.initialize();

async function connects() {
    const client = OPCUAClient.create({ ...security, clientCertificateManager, endpointMustExist: false,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 } });
    try {
        await client.connect(server.getEndpointUrl());
        const session = await client.createSession();
        await session.close();
        return true;
    } catch {
        return false;
    } finally {
        await client.disconnect().catch(() => {});
    }
}

async function until(wanted) {
    const end = Date.now() + 30000;
    for (;;) {
        if (await connects() === wanted)
            return wanted;
        if (Date.now() > end)
            return !wanted;
        await new Promise((resolve) => setTimeout(resolve, 250));
    }
}

const word = (connected) => (connected ? "CONNECTED" : "REFUSED");
console.log(`FIRST ${word(await connects())}`);
for await (const line of createInterface({ input: process.stdin })) {
    if (line !== "connected" && line !== "refused")
        break;
    console.log(`NOW ${word(await until(line === "connected"))}`);
}
await server.shutdown();
process.exit(0);
