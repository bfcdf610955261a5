// A small front-end client on the generated module: send() types each
// reply by its request's module and action, and a reply is told apart by
// its "result".
import { KalResult, KalResults, send } from "../../../docs/kal-api";
import type { KalRequest, ReplyOf } from "../../../docs/kal-api";

export async function renameNetwork(ssid: string): Promise<boolean> {
    const current = await send({ module: "wlan", action: 0 });
    if (current.result === KalResult.Ok && current.ssid === ssid) return true;
    const changed = await send({ module: "wlan", action: 1, ssid, mixed: { mode: 2 } });
    return changed.result === KalResults["wlan.1"].Ok;
}

export async function firstLogPage(base: string): Promise<string[]> {
    const page = await send({ module: "log", action: 0, type: 0, level: 0, amountPerPage: 10, pageNumber: 1 }, { base });
    if (page.result !== KalResult.Ok) return [];
    return (page.logList ?? []).map((line) => `${line.time} ${line.content}`);
}

// A read that stops midway still says what it read; a success says all.
export async function dataLimit(): Promise<string> {
    const reply = await send({ module: "flowstat", action: 0 });
    if (reply.result === KalResults["flowstat.0"].Ok) return reply.settings.limitation;
    return reply.settings?.limitation ?? "unknown";
}

// The same number means different things in different actions.
export async function lanProblem(ip: string): Promise<string> {
    const reply = await send({ module: "lan", action: 1, ip });
    switch (reply.result) {
    case KalResults["lan.1"].Ok: return "";
    case KalResults["lan.1"].BadIp: return "not a host address";
    default: return `refused (${reply.result})`;
    }
}

// A relay of one's own: any fetch will do.
export async function throughOwnFetch<R extends KalRequest>(request: R): Promise<ReplyOf<R>> {
    return send(request, { base: "http://127.0.0.1:8080", fetch: (input, init) => fetch(input, init) });
}

export async function mistakes(): Promise<void> {
    // @ts-expect-error wlan has no action 7
    await send({ module: "wlan", action: 7 });
    // @ts-expect-error "channel" is a number, not a text
    await send({ module: "wlan", action: 1, channel: "6" });
    // @ts-expect-error a page needs its four members
    await send({ module: "log", action: 0, type: 0 });
    // @ts-expect-error no such module
    await send({ module: "wifi", action: 0 });
    const read = await send({ module: "wlan", action: 0 });
    // @ts-expect-error a refused read has no "ssid": the result tells first
    read.ssid.length;
    const status = await send({ module: "status", action: 0 });
    if (status.result === KalResult.Ok) {
        // @ts-expect-error the dashboard has no "ssid" of its own
        status.ssid;
    }
}
