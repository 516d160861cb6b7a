// A Geiger-Mueller counter for lowrad on an ATmega328P at 16 MHz (Arduino Uno,
// Nano, Pro Mini 5 V): the tube board's pulse output on D2, the count frame on
// the USART (the board's USB serial chip).
//
// Everything happens in interrupts; the main loop only sleeps.
// - INT0 counts each edge on D2 and lights the LED on D13.
// - Timer1 in CTC mode ticks every 10 ms from the crystal. The tick that ends
//   a period takes the count and clears it in one step, inside its handler,
//   so no impulse can fall between the two. The period therefore lasts an
//   exact number of timer clocks whatever the impulses do; a handler running
//   late only delays that one frame by its latency.
// - The frame goes out byte by byte from the USART's data-register-empty
//   interrupt, so counting never waits for the line.
// Right after reset, a frame of count 0 ends an empty first period: lowrad
// takes a run's first frame as the start of counting, and opening the port
// resets the board.
//
// Build settings: F_CPU (16000000, or 8000000 for the boards at 8 MHz),
// PERIOD_MS (default 10000, a multiple of the 10 ms tick) and
// COUNT_RISING_EDGE (for tube boards whose output pulses high).
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <stdint.h>

#ifndef PERIOD_MS
#define PERIOD_MS 10000
#endif

namespace {

constexpr uint32_t tick_ms = 10;
// Timer1 at the clock divided by 8: 20,000 timer clocks a tick at 16 MHz.
constexpr uint16_t tick_top = F_CPU / 8 / 1000 * tick_ms - 1;
constexpr uint16_t ticks_per_period = PERIOD_MS / tick_ms;
static_assert(F_CPU % 8000 == 0, "F_CPU: a whole number of timer clocks per millisecond");
static_assert(PERIOD_MS % tick_ms == 0 && PERIOD_MS >= 100 && PERIOD_MS <= 600000,
              "PERIOD_MS: a multiple of 10 ms, from 100 ms to 10 minutes");
// 1200 baud: F_CPU / (16 * 1200) - 1, rounded: 832 at 16 MHz (0.04 % fast),
// 416 at 8 MHz (0.08 % slow).
constexpr uint16_t baud_divisor = (F_CPU / 16 + 600) / 1200 - 1;
// The LED stays lit for one to two ticks after an impulse.
constexpr uint8_t led_ticks = 2;

volatile uint32_t impulses;
volatile uint8_t led_left;
uint16_t ticks;
uint8_t frame[4];
uint8_t frame_sent; // the bytes of frame handed to the USART

void send_frame(uint32_t count) {
    const uint16_t sent = count > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(count);
    frame[0] = 0xFF;
    frame[1] = static_cast<uint8_t>(sent);
    frame[2] = static_cast<uint8_t>(sent >> 8);
    frame[3] = static_cast<uint8_t>(frame[0] + frame[1] + frame[2]);
    // The first byte at once, so that frames start exactly a period apart; the
    // last one has long left, and the others follow as the USART takes them.
    UDR0 = frame[0];
    frame_sent = 1;
    UCSR0B |= _BV(UDRIE0);
}

void start_line() {
    UCSR0A = 0;
    UCSR0C = _BV(USBS0) | _BV(UCSZ01) | _BV(UCSZ00); // 8 data bits, no parity, 2 stop bits
    UBRR0 = baud_divisor;
    UCSR0B = _BV(TXEN0);
}

void start_counting() {
    DDRD &= ~_BV(DDD2);
    PORTD |= _BV(PORTD2); // pull-up: an open-collector output needs one
    DDRB |= _BV(DDB5);    // the LED
#ifdef COUNT_RISING_EDGE
    EICRA = _BV(ISC01) | _BV(ISC00);
#else
    EICRA = _BV(ISC01);
#endif
    EIFR = _BV(INTF0);
    EIMSK = _BV(INT0);
}

// The first tick comes four timer clocks from now, once interrupts are on,
// and ends a period at once: the start frame goes out as every other frame
// does, exactly a period before the next one.
void start_timer() {
    ticks = ticks_per_period - 1;
    OCR1A = tick_top;
    TCCR1A = 0;
    TCCR1B = _BV(WGM12) | _BV(CS11); // CTC up to OCR1A, clock / 8
    TCNT1 = tick_top - 4;
    TIFR1 = _BV(OCF1A);
    TIMSK1 = _BV(OCIE1A);
}

} // namespace

ISR(INT0_vect) {
    impulses = impulses + 1;
    PORTB |= _BV(PORTB5);
    led_left = led_ticks;
}

ISR(TIMER1_COMPA_vect) {
    if (++ticks == ticks_per_period) {
        ticks = 0;
        const uint32_t count = impulses;
        impulses = 0;
        send_frame(count);
    }
    if (led_left != 0 && --led_left == 0) {
        PORTB &= ~_BV(PORTB5);
    }
}

ISR(USART_UDRE_vect) {
    UDR0 = frame[frame_sent];
    if (++frame_sent == sizeof frame) {
        UCSR0B &= ~_BV(UDRIE0);
    }
}

int main() {
    start_line();
    start_timer();
    start_counting();
    set_sleep_mode(SLEEP_MODE_IDLE);
    sei();
    for (;;) {
        sleep_mode();
    }
}
