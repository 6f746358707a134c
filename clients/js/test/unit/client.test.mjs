// The client against a fake fetch that answers as the plugin does: the
// requests it sends, the polling of queued tasks, cancelling and time-outs,
// and what each kind of reply becomes.
import assert from 'node:assert/strict';
import { afterEach, beforeEach, mock, test } from 'node:test';

import { MervoClient, MervoError } from '../../zuntar-mervo.js';

const CRLF = '\r\n';
const envelope = (status, data, errors = []) =>
  ['{', `"Status": ${status},`, `"Data": ${data === null ? 'null' : `"${data}"`},`,
   `"Errors": [${errors.map((e) => `"${e}"`).join(',')}]`, '}'].join(CRLF);
const b64 = (bytes) => Buffer.from(bytes).toString('base64');

// A fetch that records each request (its time by the mocked clock) and
// answers with reply(request): {status, body, statusText}, a promise of
// one, or a thrown error.
function fakePlugin(reply) {
  const requests = [];
  const fetch = async (url, init = {}) => {
    const request = { url, method: init.method ?? 'GET', init, at: Date.now(),
                      body: init.body === undefined ? undefined : await new Response(init.body).text() };
    requests.push(request);
    const answer = await reply(request);
    return new Response(answer.body ?? '', { status: answer.status ?? 200, statusText: answer.statusText ?? '' });
  };
  return { fetch, requests };
}

// Runs the mocked clock in steps of `step` ms until the promise settles.
async function settle(promise, step = 25) {
  let settled = false;
  promise.then(() => (settled = true), () => (settled = true));
  for (;;) {
    for (let i = 0; i < 5; ++i) await new Promise((resolve) => setImmediate(resolve));
    if (settled) return promise;
    mock.timers.tick(step);
  }
}

async function rejection(promise, step) {
  try {
    await settle(promise, step);
  } catch (error) {
    assert.ok(error instanceof MervoError, String(error));
    return error;
  }
  assert.fail('the call did not fail');
}

beforeEach(() => mock.timers.enable({ apis: ['setTimeout', 'Date'], now: 0 }));
afterEach(() => mock.timers.reset());

test('a queued signature of a text: the requests, the polling that backs off, the progress', async () => {
  const signature = Uint8Array.from({ length: 1500 }, (_, i) => i % 251);
  const polls = 12;
  const plugin = fakePlugin(({ url }) => {
    if (url.includes('/GETSIGN?')) return { body: envelope(true, 'abcd0042') };
    if (plugin.requests.length <= polls + 1) return { status: 201, body: envelope(false, null, ['В стадии выполнения']) };
    return { body: envelope(true, b64(signature)) };
  });
  const client = new MervoClient({ baseUrl: 'http://localhost:18080/', pollIntervalMs: 100, fetch: plugin.fetch });
  const text = 'Договор № 7\r\nподписан «сторонами»\n';
  const stages = [];
  const got = await settle(client.sign(text, { thumbprint: '6a:9a 88eb', taskId: 'ABCD-0042',
                                               onProgress: (p) => stages.push(`${p.stage} ${p.taskId}`) }));

  assert.deepEqual(got, signature);
  const [queue, ...results] = plugin.requests;
  assert.equal(queue.url, 'http://localhost:18080/MERVO/GETSIGN?CertThumb=6a9a88eb&TaskId=ABCD-0042');
  assert.equal(queue.method, 'POST');
  // UTF-8, then Base64; no header of the client's own and a body without a
  // type, so the browser needs no CORS preflight.
  assert.equal(queue.body, b64(Buffer.from(text, 'utf8')));
  assert.equal(queue.init.headers, undefined);
  assert.equal(queue.init.body.type, '');
  assert.ok(results.every((r) => r.url === 'http://localhost:18080/MERVO/GETRESULT?Id=abcd0042' && r.method === 'GET'));

  // 100 ms before the first question, each wait half as long again as the
  // one before, never more than 5 s.
  let expected = 100;
  results.forEach((r, i) => {
    const waited = r.at - (i === 0 ? queue.at : results[i - 1].at);
    assert.ok(waited >= expected && waited < expected + 25, `wait ${i}: ${waited} ms, ${expected} ms expected`);
    expected = Math.min(expected * 1.5, 5000);
  });
  assert.equal(results.at(-2).at - results.at(-3).at, 5000);
  assert.deepEqual(stages, ['queued abcd0042', ...Array(polls).fill('in progress abcd0042'), 'done abcd0042']);
});

test('large data is sent in Base64 in one piece, from bytes and from a Blob', async () => {
  const data = new Uint8Array(4 * 1024 * 1024 + 1);
  for (let i = 0; i < data.length; ++i) data[i] = (i * 7919) % 256;
  const plugin = fakePlugin(() => ({ body: envelope(true, b64([1, 2, 3])) }));
  const client = new MervoClient({ fetch: plugin.fetch });
  for (const input of [data, data.buffer, new Blob([data.subarray(0, 4_000_000), data.subarray(4_000_000)])]) {
    assert.deepEqual(await settle(client.sign(input, { serial: '0080', sync: true, attached: true })),
                     Uint8Array.of(1, 2, 3));
  }
  assert.equal(plugin.requests[0].url, 'http://localhost:18080/MERVO/GETSIGN_ATT_SYNC?CertSN=0080');
  for (const request of plugin.requests) assert.ok(request.body === b64(data), 'the body is the data in Base64');
});

test('cancelling, a request that hangs, and a task that outlives the plugin\'s 30 minutes', async () => {
  // Cancelled while the task runs: no request after that, and the error
  // names the task (it may still finish in the plugin).
  const running = fakePlugin(({ url }) =>
    url.includes('GETRESULT') ? { status: 201, body: envelope(false, null, ['В стадии выполнения']) }
                              : { body: envelope(true, 'id1') });
  const controller = new AbortController();
  const client = new MervoClient({ fetch: running.fetch, pollIntervalMs: 100 });
  const cancelled = await rejection(client.decrypt(Uint8Array.of(0x30, 0x80), {
    signal: controller.signal, onProgress: (p) => p.stage === 'in progress' && controller.abort() }));
  assert.deepEqual([cancelled.kind, cancelled.taskId], ['aborted', 'id1']);
  const asked = running.requests.length;
  mock.timers.tick(60_000);
  assert.equal(running.requests.length, asked);

  // A request the plugin never answers ends after timeoutMs.
  const hanging = fakePlugin(({ init }) => new Promise((_, reject) =>
    init.signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError')))));
  const slow = new MervoClient({ fetch: hanging.fetch, timeoutMs: 1000 });
  const late = await rejection(slow.signHash(new Uint8Array(32), { serial: '01', sync: true }));
  assert.deepEqual([late.kind, late.status, late.command], ['timeout', 0, 'SIGN_HASH_SYNC']);

  // Still running 31 minutes after it was queued: the client stops asking.
  const queued = Date.now();
  const stuck = await rejection(client.waitForResult('ID-1'), 5000);
  assert.deepEqual([stuck.kind, stuck.taskId, running.requests.at(-1).url],
                   ['timeout', 'id1', 'http://localhost:18080/MERVO/GETRESULT?Id=id1']);
  assert.equal(stuck.message, 'Время ожидания выполнения криптозадания истекло');
  const waited = Date.now() - queued;
  assert.ok(waited > 31 * 60_000 && waited < 31 * 60_000 + 10_000, `${waited} ms`);
});

test('what each kind of reply becomes', async () => {
  const replies = {
    ENUMCERTS: { status: 403, body: envelope(false, null, ['Сайт http://127.0.0.1:8000 не допущен к ключам']) },
    GETRESULT: { status: 500, body: envelope(false, null, ['Криптозадание с Id=00ff не найдено']) },
    GETSIGN_SYNC: { body: envelope(false, null, ['Не удалось найти сертификат с Thumbprint: 00']) },
    // The plugin leaves line breaks inside error texts unescaped.
    DECRYPT_SYNC: { body: envelope(false, null, ['Ошибка расшифрования:\r\nнет ключа']) },
    GET_XML_SIGN: { body: '#Error#ReglamentException Unknown command "GET_XML_SIGN"' },
    // A reason phrase in code page 1251, as the browser gives it (Latin-1).
    GETCERTBODY: { status: 500, statusText: 'Ошибка открытия хранилища сертификатов.'.replace(
      /[А-я]/g, (c) => String.fromCharCode(c.charCodeAt(0) - 0x410 + 0xc0)) },
  };
  const plugin = fakePlugin(({ url }) => replies[/MERVO\/(\w+)/.exec(url)[1]]);
  const client = new MervoClient({ fetch: plugin.fetch, pollIntervalMs: 10 });
  const failures = [
    [() => client.listCertificates(), 'refused-origin', 403, 'Сайт http://127.0.0.1:8000 не допущен к ключам'],
    [() => client.waitForResult('00ff'), 'not-found', 500, 'Криптозадание с Id=00ff не найдено'],
    [() => client.sign('x', { thumbprint: '00', sync: true }), 'not-found', 200, 'Не удалось найти сертификат с Thumbprint: 00'],
    [() => client.decrypt('x', { sync: true }), 'plugin-error', 200, 'Ошибка расшифрования:\r\nнет ключа'],
    [() => client.signXml('<a/>', { serial: '01' }), 'plugin-error', 200, 'ReglamentException Unknown command "GET_XML_SIGN"'],
    [() => client.getCertificate({ serial: '01' }), 'plugin-error', 500, 'Ошибка открытия хранилища сертификатов.'],
  ];
  for (const [call, kind, status, message] of failures) {
    const error = await rejection(call());
    assert.deepEqual([error.kind, error.status, error.message, error.messages], [kind, status, message, [message]]);
  }

  // No plugin at all: detect() says so instead of failing; other calls fail
  // with "network".
  const absent = new MervoClient({ fetch: async () => { throw new TypeError('Failed to fetch'); } });
  const detection = await settle(absent.detect());
  assert.deepEqual([detection.available, detection.version, detection.error.kind], [false, null, 'network']);
  assert.equal((await rejection(absent.listCertificates())).kind, 'network');
  const noProvider = new MervoClient({ fetch: fakePlugin(() => ({ body: envelope(false, '1.0.0.1', ['CSP_NOT_EXIST']) })).fetch });
  assert.deepEqual(await settle(noProvider.detect()), { available: true, version: '1.0.0.1', cspStatus: 'CSP_NOT_EXIST' });
});

test('certificates: the entries with their dates, and none found', async () => {
  const entry = '{"Serial":"0080AB","Thumbprint": "6A9A","Subject": "CN=Иванов Иван Иванович,O=ООО \\"Ромашка\\"",' +
                '"SubjectName": "ООО \\"Ромашка\\"","Issuer": "CN=УЦ","IssuerName": "УЦ",' +
                '"SubjectFIO": "Иванов Иван Иванович","ValidFrom": "2026-12-06","ValidFor": "2027-12-06"}';
  const plugin = fakePlugin(({ url }) => url.includes('inn=')
    ? { body: ['{', '"Status": false,', '"Data": null,', '"Errors": ["сертификаты не найдены"]', '}'].join(CRLF) }
    : { body: ['{', '"Status": true,', '"Data": [', `${entry}],`, '"Errors": []', '}'].join(CRLF) });
  const client = new MervoClient({ fetch: plugin.fetch });
  assert.deepEqual(await settle(client.listCertificates({ all: true, onlyValid: true })), [{
    serial: '0080AB', thumbprint: '6A9A', subject: 'CN=Иванов Иван Иванович,O=ООО "Ромашка"',
    subjectName: 'ООО "Ромашка"', issuer: 'CN=УЦ', issuerName: 'УЦ', subjectFio: 'Иванов Иван Иванович',
    validFrom: new Date(2026, 11, 6), validTo: new Date(2027, 11, 6) }]);
  assert.deepEqual(await settle(client.listCertificates({ inn: 7701234567 })), []);
  assert.deepEqual(plugin.requests.map((r) => r.url), ['http://localhost:18080/MERVO/ENUMALLCERTS?onlyValid',
                                                       'http://localhost:18080/MERVO/ENUMCERTS?inn=7701234567']);
});
