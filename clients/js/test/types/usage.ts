// A page's use of the client, type-checked against zuntar-mervo.d.ts (tsc --strict).
import { MervoClient, MervoError, fromBase64, toBase64, type Certificate, type Progress } from 'zuntar-mervo';

export async function page(file: Blob, controller: AbortController): Promise<string> {
  const client = new MervoClient({ baseUrl: 'http://localhost:18080', timeoutMs: 60_000, pollIntervalMs: 500 });
  const { available, version, cspStatus } = await client.detect();
  if (!available || cspStatus !== null) return 'no plugin';
  const certificates: Certificate[] = await client.listCertificates({ inn: '7701234567', onlyValid: true });
  const [first] = certificates;
  if (first === undefined || first.validTo.getTime() < Date.now()) return 'no certificate';
  const stages: Progress['stage'][] = [];
  try {
    const detached: Uint8Array = await client.sign(file, {
      thumbprint: first.thumbprint, signal: controller.signal, onProgress: (p) => stages.push(p.stage) });
    const attached = await client.sign('Текст', { serial: [first.serial], attached: true, sync: true, taskId: 'a-1' });
    const raw = await client.signHash(new Uint8Array(32), { thumbprint: first.thumbprint });
    const content = await client.decrypt(fromBase64('MIA='), { sync: true });
    const fund = await client.decryptFundResponse('<x/>', { list: certificates, service: 'sedo' });
    const hasKey: boolean = await client.checkKey({ certificate: await client.getCertificate({ serial: first.serial }) });
    const later = await client.waitForResult('0f8fad5bd9cb469fa16570867728950e');
    return [version, toBase64(detached), attached.length, raw.length, content.length, fund.length, hasKey, later.length]
      .join(' ');
  } catch (e) {
    if (e instanceof MervoError && e.kind === 'refused-origin') return e.messages.join('\n');
    throw e;
  }
}
