// OPC UA client for the interop test: Basic256Sha256 with SignAndEncrypt, one session, one read of the
// server's state. Usage: node client.mjs ENDPOINT_URL PKI_FOLDER SERVER_CERT
// The server's certificate is put into the client's trust list and nothing else is accepted, so the
// certificate has to pass the client's full validation.
// Prints one line of JSON: {"channel":bool,"session":bool,"state":number|null,"error":string|null}.
import {
    AttributeIds,
    MessageSecurityMode,
    OPCUACertificateManager,
    OPCUAClient,
    SecurityPolicy,
    VariableIds,
} from "node-opcua";

import { readFileSync } from "node:fs";
import { X509Certificate } from "node:crypto";

const [endpointUrl, pkiFolder, serverCertificateFile] = process.argv.slice(2);
const result = { channel: false, session: false, state: null, error: null };

const clientCertificateManager = new OPCUACertificateManager({
    rootFolder: pkiFolder,
    automaticallyAcceptUnknownCertificate: false,
});
await clientCertificateManager.initialize();
await clientCertificateManager.trustCertificate(new X509Certificate(readFileSync(serverCertificateFile)).raw);

const client = OPCUAClient.create({
    applicationName: "MoxSecurityConfigInteropClient",
    securityPolicy: SecurityPolicy.Basic256Sha256,
    securityMode: MessageSecurityMode.SignAndEncrypt,
    clientCertificateManager,
    endpointMustExist: false,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    requestedSessionTimeout: 20000,
});

try {
    await client.connect(endpointUrl);
    result.channel = true;
    const session = await client.createSession();
    result.session = true;
    const dataValue = await session.read({
        nodeId: `ns=0;i=${VariableIds.Server_ServerStatus_State}`,
        attributeId: AttributeIds.Value,
    });
    if (dataValue.statusCode.isGood())
        result.state = dataValue.value.value;
    else
        result.error = `read: ${dataValue.statusCode.toString()}`;
    await session.close();
} catch (err) {
    result.error = err.message;
}
try {
    await client.disconnect();
} catch (err) {
    result.error = result.error ?? err.message;
}
console.log(JSON.stringify(result));
process.exit(result.state === null ? 1 : 0);
