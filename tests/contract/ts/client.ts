// A small front-end client typed by the generated declarations: the reply
// type follows the request's module and action.
import type { KalReplies, KalRequest } from "../../../docs/kal-api";
import { KalResult } from "../../../docs/kal-api";

type ReplyOf<R extends KalRequest> = KalReplies[`${R["module"]}.${R["action"]}` & keyof KalReplies];

export async function send<R extends KalRequest>(request: R): Promise<ReplyOf<R>> {
    const res = await fetch("/api", { method: "POST", body: JSON.stringify(request) });
    return (await res.json()) as ReplyOf<R>;
}

export async function renameNetwork(ssid: string): Promise<boolean> {
    const current = await send({ module: "wlan", action: 0 });
    if (current.ssid === ssid) return true;
    const changed = await send({ module: "wlan", action: 1, ssid, mixed: { mode: 2 } });
    return changed.result === KalResult.Ok;
}

export async function firstLogPage(): Promise<string[]> {
    const page = await send({ module: "log", action: 0, type: 0, level: 0, amountPerPage: 10, pageNumber: 1 });
    return (page.logList ?? []).map((line) => `${line.time ?? ""} ${line.content ?? ""}`);
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
}
